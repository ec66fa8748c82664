// Inside the VM: the page in headless Chromium updates the keyboard on the
// named MIDI port through the browser's real Web MIDI (the kernel sequencer).
// Prints the page's console, then "page_seconds S": from the press of the
// update button to the end of the run; writes the run's trace (the page's
// trace link) to TRACE_FILE.
//
//   node vm_page.mjs PAGE_DIR SAMPLE_LED PORT_NAME TRACE_FILE
import { writeFileSync } from "node:fs";
import { launch, serve } from "./browser.mjs";

const [pageDir, sample, portName, traceFile] = process.argv.slice(2);
const { server, url } = await serve(pageDir);
const browser = await launch();
const context = await browser.newContext();
await context.grantPermissions(["midi", "midi-sysex"], { origin: url.replace(/\/$/, "") });
const page = await context.newPage();
page.setDefaultTimeout(600000); // Chromium is slow in a VM without a hardware accelerator
page.on("pageerror", (error) => console.log(`page error: ${error.message}`));
const loadStart = Date.now();
await page.goto(url, { waitUntil: "domcontentloaded" });
console.log(`page_load_seconds ${((Date.now() - loadStart) / 1000).toFixed(2)}`);
await page.setInputFiles("#file", sample);
await page.waitForFunction(() => document.getElementById("progress-text").textContent === "The file is ready.");
await page.click("#connect");
await page.waitForFunction(() => !document.getElementById("start").disabled);
console.log(await page.textContent("#midi-status"));
for (const list of ["#input", "#output"]) {
  const value = await page.$eval(list, (select, name) =>
    [...select.options].find((option) => option.text.endsWith(`: ${name}`))?.value, portName);
  if (value === undefined) throw new Error(`${portName} is not among the page's ${list.slice(1)}s`);
  await page.selectOption(list, value);
}
const started = Date.now();
await page.click("#start");
await page.waitForFunction(() => !document.getElementById("start").disabled, null, { timeout: 900000 });
const seconds = (Date.now() - started) / 1000;
process.stdout.write(await page.textContent("#console"));
console.log(`page_seconds ${seconds.toFixed(2)}`);
writeFileSync(traceFile, await page.$eval("#trace", (link) => fetch(link.href).then((r) => r.text())));
await browser.close();
server.close();
