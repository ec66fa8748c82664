// The update page end to end in headless Chromium (Debian's package, driven by
// playwright-core): the page served on 127.0.0.1, the sample firmware chosen
// in the page, and a stand-in for Web MIDI whose keyboard is the emulated
// target (tests/emul/target.cpp as a module). Each row compares the page's
// whole console, as a terminal shows the console program's output (a
// progress line stays where a message ended it), and what the target received.
//
//   node page_test.mjs PAGE_DIR WEB_TARGET_JS SAMPLE_LED
import { readFileSync } from "node:fs";
import { basename } from "node:path";
import { launch, serve } from "./browser.mjs";

const [pageDir, targetJs, sample] = process.argv.slice(2);

const banner = "Update V0.5 - Update KANTERRA Q25-Q49 System\n";
const opened = `OK: File '${basename(sample)}' is open.\n`;
const found = "The Update Device is Open successfully:\nMIDIIN Device: Q25 MIDI 1\nMIDIOUT Device: Q25 MIDI 1\n";
const done = "Transferring.. 100% done.  \n\nTarget update successfully!\n\n";

// The stand-in for Web MIDI: the keyboard's ports first, then a port pair
// that nothing answers on. What is sent on the keyboard's output goes to the
// target; its replies arrive on the keyboard's input after their delays.
// After vanish_after messages the keyboard is unplugged.
function installMidi(script) {
  const ports = { inputs: new Map(), outputs: new Map() };
  let access = null;
  let vanished = false;
  const makeInput = (id, name) => ({ id, name, type: "input", state: "connected", connection: "open", onmidimessage: null });
  const keyboardIn = makeInput("in-0", "Q25 MIDI 1");
  ports.inputs.set(keyboardIn.id, keyboardIn);
  ports.inputs.set("in-1", makeInput("in-1", "Midi Through Port-0"));
  const ready = createTargetModule().then((target) => {
    window.emulatedTarget = target;
    if (target.ccall("TargetStart", "number", ["string"], [script]) !== 0) {
      throw new Error(target.UTF8ToString(target._TargetError()));
    }
    return target;
  });
  const keyboardOut = {
    id: "out-0", name: "Q25 MIDI 1", type: "output", state: "connected", connection: "open",
    async send(data) {
      if (vanished) throw new DOMException("The port is disconnected.", "InvalidStateError");
      const target = await ready;
      const message = target._malloc(data.length);
      target.HEAPU8.set(data, message);
      const size = target._TargetReceive(message, data.length);
      target._free(message);
      const replies = target.HEAPU8.slice(target._TargetReplies(), target._TargetReplies() + size);
      for (let at = 0; at < replies.length;) {
        const delay = replies[at] | (replies[at + 1] << 8) | (replies[at + 2] << 16) | (replies[at + 3] << 24);
        const length = replies[at + 4] | (replies[at + 5] << 8);
        const bytes = replies.slice(at + 6, at + 6 + length);
        at += 6 + length;
        setTimeout(() => { if (!vanished && keyboardIn.onmidimessage) keyboardIn.onmidimessage({ data: bytes }); }, delay);
      }
      const limit = target._TargetVanishAfter();
      if (limit > 0 && target._TargetCount(0) >= limit) {
        vanished = true;
        keyboardIn.state = keyboardOut.state = "disconnected";
        if (access && access.onstatechange) access.onstatechange({ port: keyboardOut });
      }
    },
  };
  ports.outputs.set(keyboardOut.id, keyboardOut);
  ports.outputs.set("out-1", { id: "out-1", name: "Midi Through Port-0", type: "output", state: "connected", connection: "open", send() {} });
  navigator.requestMIDIAccess = async (options) => {
    if (!options || !options.sysex) throw new DOMException("No System Exclusive.", "NotAllowedError");
    await ready;
    access = { inputs: ports.inputs, outputs: ports.outputs, sysexEnabled: true, onstatechange: null };
    return access;
  };
}

// What follows a failed transfer: where it stopped, and what to do.
const stopped = (record) => `The update stopped at record ${record} of 300. Check the keyboard's MIDI ` +
  "connection, then run update again: it starts over from the first record.\n\n";

// Rows: the target's script, or how MIDI access goes, and what the page shows.
const rows = [
  { name: "the sample is accepted record by record", script: "reply_delay 2", console: banner + opened + found + done,
    status: "Target update successfully!", everyRecordOnce: true },
  { name: "the keyboard asks for a reset (0x15)", script: "handshake_default code 15",
    console: banner + opened + found + "Please reset the product and retry again!\n\n",
    status: "Please reset the product and retry again!" },
  { name: "an error reply, then acceptance", script: "record 3 1 code 20",
    console: banner + opened + found + "Transferring.. \\ 0% done\nThe CRC of the download file is error!\n" + done,
    status: "Target update successfully!", resent: 1 },
  { name: "a silent keyboard is not responding", script: "record_default silent",
    console: banner + opened + found + "Transferring.. - 0% done\nFailed: Target is not responding.\n\n" +
      stopped(1), status: stopped(1).trim() },
  { name: "the keyboard unplugged during the transfer", script: "vanish_after 40",
    console: banner + opened + found + "Transferring.. | 1% done\nError: The MIDI Out of device is missing!\n\n" +
      stopped(13), status: stopped(13).trim() },
  { name: "a browser without Web MIDI", midi: "none",
    midiStatus: "This browser cannot reach MIDI devices: use a Chromium-based browser such as Chrome or Edge." },
  { name: "the user refuses MIDI access", midi: "refused",
    midiStatus: "MIDI access was refused: allow MIDI devices with System Exclusive messages for this page " +
                "in the browser's site settings, then press Allow MIDI access again." },
];

const { server, url } = await serve(pageDir);
const browser = await launch();
const targetSource = `${readFileSync(targetJs, "utf8")}\nwindow.createTargetModule = createTargetModule;`;

let passed = 0;
let failed = 0;
for (const row of rows.filter((r) => !process.env.ONLY || r.name.includes(process.env.ONLY))) {
  const context = await browser.newContext();
  const page = await context.newPage();
  const problems = [];
  page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
  try {
    if (row.midi === "none") {
      await page.addInitScript(() => { delete Navigator.prototype.requestMIDIAccess; });
    } else if (row.midi === "refused") {
      await page.addInitScript(() => {
        navigator.requestMIDIAccess = async () => { throw new DOMException("Denied.", "NotAllowedError"); };
      });
    } else {
      await page.addInitScript(targetSource);
      await page.addInitScript(installMidi, row.script);
    }
    await page.goto(url);
    if (row.midiStatus) {
      if (row.midi !== "none") await page.click("#connect");
      await page.waitForFunction(() => document.getElementById("midi-status").textContent !== "");
      const text = await page.textContent("#midi-status");
      if (text !== row.midiStatus) problems.push(`MIDI status: ${JSON.stringify(text)}`);
      if (await page.isEnabled("#start")) problems.push("the update can be started");
    } else {
      await page.setInputFiles("#file", sample);
      await page.waitForFunction(() => document.getElementById("progress-text").textContent === "The file is ready.");
      const check = await page.textContent("#console");
      const summary = /File check passed: (\d+) records, (\d+) bytes/.exec(check);
      await page.click("#connect");
      await page.waitForFunction(() => !document.getElementById("start").disabled);
      await page.click("#start");
      if (row.everyRecordOnce) {
        // Under way: the percent, the record and the time left.
        await page.waitForFunction(() => / left$/.test(document.getElementById("progress-text").textContent));
        const progress = await page.textContent("#progress-text");
        if (!/^\d+% done, record \d+ of 300, about \d+:\d\d left$/.test(progress)) problems.push(`progress: ${progress}`);
      }
      await page.waitForFunction(() => !document.getElementById("start").disabled, null, { timeout: 120000 });
      const shown = await page.textContent("#console");
      if (shown !== row.console) problems.push(`console:\n${shown}\n---`);
      const status = await page.textContent("#progress-text");
      if (status !== row.status) problems.push(`outcome: ${JSON.stringify(status)}`);
      const counts = await page.evaluate(() => [2, 3, 6].map((k) => window.emulatedTarget._TargetCount(k)));
      const total = Number(summary[1]);
      if (row.everyRecordOnce || row.resent !== undefined) {
        const expected = [total + (row.resent || 0), total, Number(summary[2])];
        if (counts.join() !== expected.join()) problems.push(`target received/accepted/bytes ${counts}, expected ${expected}`);
      }
      // The picture of the page in the documentation: UPDATE_PAGE_SCREENSHOT=FILE.
      if (process.env.UPDATE_PAGE_SCREENSHOT && row.everyRecordOnce) {
        await page.screenshot({ path: process.env.UPDATE_PAGE_SCREENSHOT, fullPage: true });
      }
      const trace = await page.evaluate(async () => (await fetch(document.getElementById("trace").href)).text());
      if (!trace.includes("start: update --no-pause --log") || !/send output 0: F0 54 71 38 72 57 7A 35 F7/.test(trace)) {
        problems.push("the trace lacks its start or the handshake");
      }
    }
  } catch (error) {
    problems.push(String(error));
  }
  await context.close();
  if (problems.length === 0) {
    passed += 1;
    console.log(`ok: ${row.name}`);
  } else {
    failed += 1;
    console.log(`FAILED: ${row.name}\n  ${problems.join("\n  ")}`);
  }
}
await browser.close();
server.close();
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
