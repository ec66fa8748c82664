// The update page end to end in headless Chromium (Debian's package, driven by
// playwright-core): the page served on 127.0.0.1, the sample firmware chosen
// in the page, and a stand-in for Web MIDI whose keyboard is the emulated
// target (tests/emul/target.cpp as a module). Each row compares the page's
// whole console, as a terminal shows the console program's output (a
// progress line stays where a message ended it), and what the target received.
//
//   node page_test.mjs PAGE_DIR WEB_TARGET_JS SAMPLE_LED
//
// UPDATE_PAGE_AS_FILE=1 opens the page as a local file (file://) instead;
// ONLY=TEXT runs the rows whose name holds TEXT; UPDATE_PAGE_LAYOUTS=2,4 sets
// the sizes of the N x N layout rows (2, 4 and 10 unless told).
import { readFileSync } from "node:fs";
import { basename, join, resolve } from "node:path";
import { pathToFileURL } from "node:url";
import { launch, serve } from "./browser.mjs";

const [pageDir, targetJs, sample] = process.argv.slice(2);

const banner = "Update V0.5 - Update KANTERRA Q25-Q49 System\n";
const opened = `OK: File '${basename(sample)}' is open.\n`;
const found = "The Update Device is Open successfully:\nMIDIIN Device: Q25 MIDI 1\nMIDIOUT Device: Q25 MIDI 1\n";
const done = "Transferring.. 100% done.  \n\nTarget update successfully!\n\n";
// The advice after a refused file, in the page's words.
const downloadAgain = "Download the firmware file again from where you got it, then choose it on this page again.\n\n";

// The stand-in for Web MIDI: the keyboard's ports first, then a port pair
// that nothing answers on; with a layout of N, N port pairs with the
// keyboard's last and the others silent. What is sent on the keyboard's output goes to the
// target; its replies arrive on the keyboard's input after their delays, and
// only once the page leaves its thread idle (at most 1 s later): a browser's
// own MIDI delivery needs the processor time that a busy page takes, so a
// reply wait that spins makes every verdict late, and the success row's
// time bound fails.
// After vanish_after messages the keyboard is unplugged.
function installMidi({ script, layout }) {
  const ports = { inputs: new Map(), outputs: new Map() };
  let access = null;
  let vanished = false;
  const [pairs, keyboardAt] = layout ? [layout, layout - 1] : [2, 0];
  const makeInput = (id, name) => ({ id, name, type: "input", state: "connected", connection: "open", onmidimessage: null });
  const keyboardIn = makeInput(`in-${keyboardAt}`, "Q25 MIDI 1");
  const ready = createTargetModule().then((target) => {
    window.emulatedTarget = target;
    if (target.ccall("TargetStart", "number", ["string"], [script]) !== 0) {
      throw new Error(target.UTF8ToString(target._TargetError()));
    }
    return target;
  });
  const keyboardOut = {
    id: `out-${keyboardAt}`, name: "Q25 MIDI 1", type: "output", state: "connected", connection: "open",
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
        const deliver = () => { if (!vanished && keyboardIn.onmidimessage) keyboardIn.onmidimessage({ data: bytes }); };
        setTimeout(() => requestIdleCallback(deliver, { timeout: 1000 }), delay);
      }
      const limit = target._TargetVanishAfter();
      if (limit > 0 && target._TargetCount(0) >= limit) {
        vanished = true;
        keyboardIn.state = keyboardOut.state = "disconnected";
        if (access && access.onstatechange) access.onstatechange({ port: keyboardOut });
      }
    },
  };
  for (let k = 0, silent = 0; k < pairs; k += 1) {
    if (k === keyboardAt) {
      ports.inputs.set(keyboardIn.id, keyboardIn);
      ports.outputs.set(keyboardOut.id, keyboardOut);
      continue;
    }
    const name = `Midi Through Port-${silent++}`;
    ports.inputs.set(`in-${k}`, makeInput(`in-${k}`, name));
    ports.outputs.set(`out-${k}`, { id: `out-${k}`, name, type: "output", state: "connected", connection: "open", send() {} });
  }
  navigator.requestMIDIAccess = async (options) => {
    if (!options || !options.sysex) throw new DOMException("No System Exclusive.", "NotAllowedError");
    await ready;
    access = { inputs: ports.inputs, outputs: ports.outputs, sysexEnabled: true, onstatechange: null };
    return access;
  };
}

// What follows a failed transfer: where it stopped, and what to do, in the page's words.
const stopped = (record) => `The update stopped at record ${record} of 300. Check the keyboard's MIDI ` +
  "connection, then press Update the keyboard again: it starts over from the first record.\n\n";
const refused = "MIDI access was refused: allow MIDI devices with System Exclusive messages for this page " +
  "in the browser's site settings, then press Allow MIDI access again.";
const sampleText = readFileSync(sample, "latin1");
const imageOf = (text) => Buffer.from(text.replace(/\s+/g, ""), "hex");
function firstRecords(count) { // the sample's first records as a firmware text of their own
  const image = imageOf(sampleText);
  let at = 0;
  for (let k = 0; k < count; k += 1) at += ((image[at] << 8) | image[at + 1]) + 2;
  return `${image.subarray(0, at).toString("hex").toUpperCase().match(/.{1,32}/g).join("\n")}\n`;
}
// A file made in the page (faster than handing megabytes over): the text, then `fill` bytes up to `size`.
const big = (name, size, text = sampleText, fill = 0x20) => ({ name, text, fill, size });
const MiB = 1024 * 1024;
const ready = "The file is ready.";

// Rows: the file, the target's script or how MIDI access goes, and what the page shows (`check`:
// the status after the file check, which ends the row unless it is `ready`).
const rows = [
  { name: "the sample is accepted record by record", script: "reply_delay 2", console: banner + opened + found + done,
    status: "Target update successfully!", everyRecordOnce: true, maxSeconds: 30,
    statusSeen: ["Looking for the keyboard: inputs 1 to 2 of 2, output 1 of 2 (Q25 MIDI 1)",
                 "Found the keyboard (input Q25 MIDI 1, output Q25 MIDI 1): sending record 1 of 300",
                 /^Sending record 150 of 300 \(\d+% done\), about \d+:\d\d left$/] },
  { name: "the keyboard asks for a reset (0x15)", script: "handshake_default code 15",
    console: banner + opened + found + "Please reset the product and retry again!\n\n",
    status: "Please reset the product and retry again!" },
  { name: "an error reply, then acceptance", script: "record 3 1 code 20", resent: 1,
    console: banner + opened + found + "Transferring.. \\ 0% done\nThe CRC of the download file is error!\n" + done,
    status: "Target update successfully!",
    statusSeen: ["The keyboard refused record 4 (code 20), sending it again (attempt 2 of 20)"] },
  { name: "a silent keyboard is not responding", script: "record_default silent", status: stopped(1).trim(),
    console: banner + opened + found + "Transferring.. - 0% done\nFailed: Target is not responding.\n\n" + stopped(1),
    statusSeen: ["No answer, sending record 1 again (attempt 2 of 20)", "No answer, sending record 1 again (attempt 20 of 20)"] },
  { name: "the keyboard unplugged during the transfer", script: "vanish_after 40", status: stopped(13).trim(),
    console: banner + opened + found + "Transferring.. | 1% done\nError: The MIDI Out of device is missing!\n\n" + stopped(13),
    trace: ["send output 0 failed: the device is unplugged", "close input 0", "close output 0",
            "end: the transfer failed (status 5)"] },
  { name: "a new file chosen and Update pressed in the same task", script: "reply_delay 2", race: firstRecords(100),
    status: "Target update successfully!", records: 100 },
  { name: "the module fails during the update", moduleFails: true,
    status: "The update stopped: the page failed (Error: memory access out of bounds). Reload the page, then press " +
            "Update the keyboard again: it starts over from the first record." },
  // The answer came after 0.7 to 1.0 s here under load (the module reads the text in about 0.5 s): room for more load.
  { name: "a file of 16 MiB is read, and updates", script: "reply_delay 2", file: big("Q25_padded.led", 16 * MiB),
    answerSeconds: 2, status: "Target update successfully!", everyRecordOnce: true },
  { name: "a file over 16 MiB is refused before it is read", file: big("Q25_large.led", 16 * MiB + 1),
    answerSeconds: 1, checkConsole: "", fileReads: 0, check: "The file 'Q25_large.led' is 16.0 MiB, too large for a " +
      "firmware file (at most 16 MiB): choose the firmware file made for your keyboard." },
  { name: "a large file that is not firmware", answerSeconds: 1, file: big("Q49_photo.led", 6 * MiB, "", 0xd8),
    checkConsole: banner + "OK: File 'Q49_photo.led' is open.\nThe text stops being hexadecimal at line 1, " +
      "column 1; the rest holds no record and is ignored.\nError: The upgrade file is error!\n\nThe file holds no " +
      "firmware: it does not begin with hexadecimal text.\n" + downloadAgain,
    check: downloadAgain.trim() },
  { name: "a name for no keyboard: the page's advice", file: big("Q61_v2.led", sampleText.length),
    checkConsole: banner + "Error: The fit file is not found.\n\nThe name of 'Q61_v2.led' does not begin with Q25 or " +
      "Q49, so it is not firmware for this keyboard. Use the firmware file made for your keyboard: its name begins " +
      "with Q25 or Q49.\n\n",
    check: "The name of 'Q61_v2.led' does not begin with Q25 or Q49, so it is not firmware for this keyboard. Use " +
      "the firmware file made for your keyboard: its name begins with Q25 or Q49." },
  { name: "the file cannot be read", unreadable: true,
    check: "The file could not be checked (NotReadableError: The file could not be read.): choose it again." },
  { name: "a browser without Web MIDI", midi: "none",
    midiStatus: "This browser cannot reach MIDI devices: use a Chromium-based browser such as Chrome or Edge." },
  { name: "the user refuses MIDI access", midi: { name: "NotAllowedError", message: "Denied." }, midiStatus: refused },
  { name: "the browser's settings refuse MIDI access", midi: { name: "SecurityError", message: "No." }, midiStatus: refused },
  { name: "the computer's MIDI system does not start",
    midi: { name: "InvalidStateError", message: "Platform dependent initialization failed." },
    midiStatus: "The computer's MIDI system could not be started (InvalidStateError: Platform dependent " +
      "initialization failed.). Connect the keyboard, close the other programs that use MIDI, then press " +
      "Allow MIDI access again." },
  { name: "the light setting: contrast and focus ring", colorScheme: "light" },
  { name: "the dark setting: contrast and focus ring", colorScheme: "dark" },
];
// The keyboard on the last of N x N port pairs, the others silent: found on its own ports, and the time from
// Update to "MIDIOUT Device:" printed (a short firmware keeps the transfer short).
const short = firstRecords(10);
for (const n of (process.env.UPDATE_PAGE_LAYOUTS || "2,4,10").split(",").map(Number)) {
  rows.push({ name: `the keyboard on the last of ${n} x ${n} ports`, layout: n, script: "reply_delay 2",
    file: big("Q25_short.led", short.length, short), records: 10, everyRecordOnce: true, foundSeconds: true,
    console: `${banner}OK: File 'Q25_short.led' is open.\n${found}${done}`, status: "Target update successfully!",
    statusSeen: [`Looking for the keyboard: inputs 1 to ${n} of ${n}, output ${n} of ${n} (Q25 MIDI 1)`,
                 "Found the keyboard (input Q25 MIDI 1, output Q25 MIDI 1): sending record 1 of 10"],
    trace: [`open input ${n - 1} (Q25 MIDI 1): ok`, `open output ${n - 1} (Q25 MIDI 1): ok`] });
}
rows.push({ name: "a silent input chosen among 4 x 4 ports", layout: 4, input: 0, file: big("Q25_short.led", short.length, short),
  status: "Connect the keyboard and switch it on; the page's lists of inputs and outputs should show it. Then switch " +
    "the keyboard off and on, and press Update the keyboard again.", statusSeen: ["Looking for the keyboard: input 1 of 4 (Midi Through Port-0), output 4 of 4 (Q25 MIDI 1)"] });

// Watches the page: every text of the status line with its time, when a file was chosen, how often one was read.
function watchPage(moduleFails) {
  Object.assign(window, { statusSeen: [], fileReads: 0 });
  const read = Blob.prototype.arrayBuffer;
  Blob.prototype.arrayBuffer = function arrayBuffer() { window.fileReads += 1; return read.call(this); };
  document.addEventListener("change", () => { window.chosenAt = performance.now(); }, true);
  document.addEventListener("click", (event) => { if (event.target.id === "start") window.updateAt = performance.now(); }, true);
  document.addEventListener("DOMContentLoaded", () => new MutationObserver((records) => records.forEach((record) =>
    record.addedNodes.forEach((node) => window.statusSeen.push({ text: node.textContent, at: performance.now() }))))
    .observe(document.getElementById("progress-text"), { childList: true }));
  document.addEventListener("DOMContentLoaded", () => new MutationObserver(() => {
    if (!window.foundAt && document.getElementById("console").textContent.includes("MIDIOUT Device:")) {
      window.foundAt = performance.now();
    }
  }).observe(document.getElementById("console"), { childList: true, characterData: true, subtree: true }));
  if (!moduleFails) return;
  // An update's run that never ends, and an error thrown in one of its callbacks (as a trap in the module).
  let create = null;
  Object.defineProperty(window, "createUpdateModule", { set: (value) => { create = value; },
    get: () => async (options) => {
      const module = await create(options);
      const ccall = module.ccall.bind(module);
      module.ccall = (name, type, types, args) => (args[3] !== 0 ? ccall(name, type, types, args)
        : new Promise(() => setTimeout(() => { throw new Error("memory access out of bounds"); }, 10)));
      return module;
    } });
}

// WCAG's contrast of the page's texts with their backgrounds and of the focus ring with the page.
function pageColors() {
  const luminance = (css) => css.match(/[\d.]+/g).slice(0, 3).map((v) => Number(v) / 255)
    .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4))
    .reduce((sum, c, k) => sum + c * [0.2126, 0.7152, 0.0722][k], 0);
  const ratio = (a, b) => (Math.max(luminance(a), luminance(b)) + 0.05) / (Math.min(luminance(a), luminance(b)) + 0.05);
  const page = getComputedStyle(document.body).backgroundColor;
  document.getElementById("midi-status").classList.add("problem");
  const [body, note, problem, button, off, shown, ring] = ["body", ".note", "#midi-status", "#connect", "#start",
    "#console", ":focus"].map((selector) => getComputedStyle(document.querySelector(selector)));
  const texts = [ratio(body.color, page), ratio(note.color, page), ratio(problem.color, page),
    ratio(button.color, button.backgroundColor), ratio(off.color, off.backgroundColor), ratio(shown.color, shown.backgroundColor)];
  return { texts, ring: ratio(ring.outlineColor, page), ringWidth: ring.outlineWidth, background: luminance(page) };
}

const { server, url } = process.env.UPDATE_PAGE_AS_FILE === "1"
  ? { server: null, url: pathToFileURL(join(resolve(pageDir), "index.html")).href } : await serve(pageDir);
const browser = await launch();
const targetSource = `${readFileSync(targetJs, "utf8")}\nwindow.createTargetModule = createTargetModule;`;
const wait = (page, test, timeout) => page.waitForFunction(test, null, timeout ? { timeout } : {});
const text = (page, id) => page.evaluate((name) => document.getElementById(name).textContent, id);
const counts = (page) => page.evaluate(() => [0, 2, 3, 6].map((k) => window.emulatedTarget._TargetCount(k)));
const notes = [];

// The file check: the row's file chosen and its answer compared; true when the file is ready.
async function checkFile(page, row, problems) {
  if (!row.file) await page.setInputFiles("#file", sample);
  else {
    await page.evaluate((made) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([made.text, new Uint8Array(made.size - made.text.length).fill(made.fill)], made.name));
      Object.assign(document.getElementById("file"), { files: transfer.files }).dispatchEvent(new Event("change"));
    }, row.file);
  }
  await wait(page, () => !document.getElementById("file").disabled, 30000);
  const [status, shown] = [await text(page, "progress-text"), await text(page, "console")];
  if (status !== (row.check || ready)) problems.push(`file check: ${JSON.stringify(status)}`);
  if (row.checkConsole !== undefined && shown !== row.checkConsole) problems.push(`file check's console:\n${shown}\n---`);
  const [answer, reads] = await page.evaluate(() => [(window.statusSeen.at(-1).at - window.chosenAt) / 1000, window.fileReads]);
  if (row.answerSeconds) notes.push(`answer after ${answer.toFixed(2)} s`);
  if (answer > row.answerSeconds) problems.push(`the file's answer took ${answer.toFixed(2)} s`);
  if (row.fileReads !== undefined && reads !== row.fileReads) problems.push(`the file was read ${reads} times`);
  return status === ready;
}

// The update pressed, run to its end, and compared.
async function runUpdate(page, row, problems) {
  const image = imageOf(row.race || (row.layout && row.file.text) || sampleText);
  if (row.race) { // Update pressed while the new file is being read: nothing may start
    await page.evaluate((race) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([race], "Q25_short.led"));
      Object.assign(document.getElementById("file"), { files: transfer.files }).dispatchEvent(new Event("change"));
      document.getElementById("start").click();
    }, row.race);
    await wait(page, () => !document.getElementById("file").disabled);
    const searched = await page.evaluate(() => window.statusSeen.some((seen) => seen.text.startsWith("Looking")));
    if ((await counts(page))[0] !== 0 || searched) problems.push("Update pressed during the file check searched");
    if ((await text(page, "progress-text")) !== ready) problems.push("the new file is not ready");
  }
  if (row.input !== undefined) await page.selectOption("#input", String(row.input));
  const started = Date.now();
  await page.click("#start");
  await wait(page, () => !document.getElementById("start").disabled, 120000);
  const seconds = (Date.now() - started) / 1000;
  notes.push(`update ${seconds.toFixed(1)} s`);
  if (row.foundSeconds) {
    const foundAfter = await page.evaluate(() => (window.foundAt ? (window.foundAt - window.updateAt) / 1000 : null));
    if (foundAfter === null) problems.push("no \"MIDIOUT Device:\" line");
    else notes.push(`${row.layout} x ${row.layout}: "MIDIOUT Device:" ${foundAfter.toFixed(2)} s after Update`);
  }
  if (seconds > row.maxSeconds) problems.push(`the update took ${seconds.toFixed(1)} s`);
  const shown = await text(page, "console");
  if (row.console !== undefined && shown !== row.console) problems.push(`console:\n${shown}\n---`);
  const status = await text(page, "progress-text");
  if (status !== row.status) problems.push(`outcome: ${JSON.stringify(status)}`);
  if (row.everyRecordOnce || row.race || row.resent) {
    const records = row.records || 300;
    const expected = [records + (row.resent || 0), records, image.length];
    const got = (await counts(page)).slice(1);
    if (got.join() !== expected.join()) problems.push(`target received/accepted/bytes ${got}, expected ${expected}`);
    const held = await page.evaluate(() => Array.from(window.emulatedTarget.HEAPU8.subarray(
      window.emulatedTarget._TargetImage(), window.emulatedTarget._TargetImage() + window.emulatedTarget._TargetCount(6))));
    if (!image.equals(Buffer.from(held))) problems.push("the target holds another image");
  }
  const seen = await page.evaluate(() => window.statusSeen.map((entry) => entry.text));
  for (const want of row.statusSeen || []) {
    if (!seen.some((t) => (typeof want === "string" ? t === want : want.test(t)))) problems.push(`no status ${want}`);
  }
  // The picture of the page in the documentation: UPDATE_PAGE_SCREENSHOT=FILE.
  if (process.env.UPDATE_PAGE_SCREENSHOT && row.maxSeconds) {
    await page.screenshot({ path: process.env.UPDATE_PAGE_SCREENSHOT, fullPage: true });
  }
  if (row.moduleFails) return;
  const trace = await page.evaluate(async () => (await fetch(document.getElementById("trace").href)).text());
  if (!trace.includes("start: update --no-pause --log") || !/send output 0: F0 54 71 38 72 57 7A 35 F7/.test(trace)) {
    problems.push("the trace lacks its start or the handshake");
  }
  const events = trace.split("\n").map((line) => line.slice("2026-12-09 01:02:03.456 ".length));
  for (const want of row.trace || []) if (!events.includes(want)) problems.push(`the trace lacks "${want}"`);
}

// One row; returns whether Update should be enabled at its end.
async function runRow(page, row, problems) {
  await page.addInitScript(watchPage, Boolean(row.moduleFails));
  if (row.midi === "none") await page.addInitScript(() => { delete Navigator.prototype.requestMIDIAccess; });
  else if (row.midi) {
    await page.addInitScript((error) => {
      navigator.requestMIDIAccess = async () => { throw new DOMException(error.message, error.name); };
    }, row.midi);
  } else {
    await page.addInitScript(targetSource);
    await page.addInitScript(installMidi, { script: row.script || "", layout: row.layout || 0 });
  }
  if (row.unreadable) {
    await page.addInitScript(() => {
      Blob.prototype.arrayBuffer = async () => { throw new DOMException("The file could not be read.", "NotReadableError"); };
    });
  }
  await page.goto(url);
  if (row.midiStatus) {
    if (row.midi !== "none") await page.click("#connect");
    await wait(page, () => document.getElementById("midi-status").textContent !== "" && !document.getElementById("file").disabled);
    const status = await text(page, "midi-status");
    if (status !== row.midiStatus) problems.push(`MIDI status: ${JSON.stringify(status)}`);
    return false;
  }
  if (row.colorScheme) {
    await page.keyboard.press("Tab"); // the file input
    await page.keyboard.press("Tab"); // Allow MIDI access
    const colors = await page.evaluate(pageColors);
    const dark = colors.background < 0.05;
    if (colors.texts.some((contrast) => contrast < 4.5) || colors.ring < 3 || colors.ringWidth !== "3px" ||
        dark !== (row.colorScheme === "dark")) problems.push(`colours: ${JSON.stringify(colors)}`);
    return false;
  }
  if (!(await checkFile(page, row, problems))) return false;
  await page.click("#connect");
  await wait(page, () => !document.getElementById("start").disabled);
  await runUpdate(page, row, problems);
  return true;
}

// Every row ends with the controls as they should be (the file can be chosen, MIDI access asked for, Update
// enabled only for a checked file with MIDI access), and nothing on the page speaks of a command.
let passed = 0;
let failed = 0;
for (const row of rows.filter((r) => !process.env.ONLY || r.name.includes(process.env.ONLY))) {
  const [rowStarted, context] = [Date.now(), await browser.newContext({ colorScheme: row.colorScheme || "light" })];
  const page = await context.newPage();
  const problems = [];
  notes.length = 0;
  page.on("pageerror", (error) => { if (!row.moduleFails) problems.push(`page error: ${error.message}`); });
  try {
    const updatable = await runRow(page, row, problems);
    const enabled = await page.evaluate(() => ["file", "connect", "start"].map((id) => !document.getElementById(id).disabled));
    if (enabled.join() !== [true, row.midi !== "none", updatable].join()) problems.push(`file, connect, start: ${enabled}`);
    const words = (await Promise.all(["console", "progress-text", "midi-status"].map((id) => text(page, id)))).join("\n");
    if (/\brun\b|update --|update FILE/.test(words)) problems.push(`the page speaks of a command:\n${words}`);
  } catch (error) {
    problems.push(String(error));
  }
  await context.close();
  notes.push(`row ${((Date.now() - rowStarted) / 1000).toFixed(1)} s`);
  if (problems.length === 0) {
    passed += 1;
    console.log(`ok: ${row.name} (${notes.join(", ")})`);
  } else {
    failed += 1;
    console.log(`FAILED: ${row.name}\n  ${problems.join("\n  ")}`);
  }
}
await browser.close();
if (server) server.close();
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
