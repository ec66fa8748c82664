// The update page: picks the firmware file, asks for MIDI access, and runs the
// updater's module (update.js) on the file, once for the file check and once
// for the update. Each run gets a fresh module instance, as each console run
// gets a fresh process.
"use strict";

(() => {
  const $ = (id) => document.getElementById(id);
  const state = { file: null, checked: false, records: 0, access: null, inputs: [], outputs: [],
                  running: false, accepted: 0, started: 0, traceUrl: null };

  // ---- The messages, shown as a console shows them ----
  // A carriage return takes the cursor back to the start of the line.
  let lines = [""];
  let column = 0;
  let pending = "";
  let flushScheduled = false;

  function write(text) {
    pending += text;
    if (!flushScheduled) {
      flushScheduled = true;
      setTimeout(flush, 0);
    }
  }

  function flush() {
    flushScheduled = false;
    for (const ch of pending) {
      if (ch === "\n") {
        lines.push("");
        column = 0;
      } else if (ch === "\r") {
        column = 0;
      } else {
        const line = lines[lines.length - 1];
        lines[lines.length - 1] = line.slice(0, column) + ch + line.slice(column + 1);
        column += 1;
      }
    }
    pending = "";
    $("console").textContent = lines.join("\n");
    showProgress();
  }

  function clearConsole() {
    lines = [""];
    column = 0;
    pending = "";
    $("console").textContent = "";
  }

  function say(id, text, problem) {
    $(id).textContent = text;
    $(id).classList.toggle("problem", Boolean(problem));
  }

  // ---- Progress: the percent of the progress line, the records accepted ----
  function showProgress() {
    if (!state.running || state.started === 0) return;
    const line = lines[lines.length - 1];
    const match = /Transferring\.\. . (\d+)% done/.exec(line);
    if (!match) return;
    const percent = Number(match[1]);
    $("progress").value = percent;
    let text = `${percent}% done, record ${Math.min(state.accepted + 1, state.records)} of ${state.records}`;
    if (state.accepted > 0) {
      const elapsed = (performance.now() - state.started) / 1000;
      const left = Math.ceil((elapsed / state.accepted) * (state.records - state.accepted));
      text += `, about ${Math.floor(left / 60)}:${String(left % 60).padStart(2, "0")} left`;
    }
    say("progress-text", text);
  }

  function onMidiMessage(data) {
    if (data.length >= 2 && data[0] === 0xf0 && data[1] === 0x1a) {
      if (state.started === 0) state.started = performance.now();
      state.accepted += 1;
    }
  }

  // ---- One run of the module ----
  // mode 0: update, 1: the file check. Returns the exit status and the module.
  async function runModule(mode, input, output) {
    const decoder = new TextDecoder();
    const put = (code) => {
      if (code !== null) write(decoder.decode(new Uint8Array([code]), { stream: true }));
    };
    const module = await createUpdateModule({
      midiInputs: state.inputs,
      midiOutputs: state.outputs,
      onMidiMessage,
      preRun: [(m) => m.FS.init(() => null, put, put)],
    });
    const bytes = state.file.bytes;
    const status = await module.ccall("WebRun", "number",
      ["string", "array", "number", "number", "number", "number"],
      [state.file.name, bytes, bytes.length, mode, input, output], { async: true });
    flush();
    return { status, module };
  }

  // The last message the run printed: the outcome in the console's words.
  function lastMessage() {
    for (let k = lines.length - 1; k >= 0; k -= 1) {
      const line = lines[k].trim();
      if (line !== "" && !line.startsWith("Transferring..")) return line;
    }
    return "";
  }

  function updateButtons() {
    const ready = state.checked && state.access !== null && !state.running;
    $("start").disabled = !ready;
    $("file").disabled = state.running;
    $("connect").disabled = state.running || !navigator.requestMIDIAccess;
    $("input").disabled = state.running || state.access === null;
    $("output").disabled = state.running || state.access === null;
  }

  // ---- The file ----
  async function takeFile(file) {
    if (!file || state.running) return;
    state.file = { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) };
    state.checked = false;
    clearConsole();
    state.running = true;
    updateButtons();
    const { status } = await runModule(1, -1, -1);
    state.running = false;
    const summary = /File check passed: (\d+) records/.exec(lines.join("\n"));
    state.checked = status === 0 && summary !== null;
    state.records = summary ? Number(summary[1]) : 0;
    say("progress-text", state.checked ? "The file is ready." : lastMessage(), !state.checked);
    updateButtons();
  }

  $("file").addEventListener("change", () => takeFile($("file").files[0]));
  const drop = $("drop");
  for (const name of ["dragenter", "dragover"]) {
    document.addEventListener(name, (event) => {
      event.preventDefault();
      drop.classList.toggle("over", drop.contains(event.target));
    });
  }
  document.addEventListener("dragleave", () => drop.classList.remove("over"));
  document.addEventListener("drop", (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    takeFile(event.dataTransfer.files[0]);
  });

  // ---- MIDI access and the device lists, in the browser's port order ----
  function fillList(select, ports) {
    const chosen = select.value;
    select.replaceChildren(new Option("Find automatically", "-1"));
    ports.forEach((port, number) => select.add(new Option(`${number}: ${port.name}`, String(number))));
    if ([...select.options].some((option) => option.value === chosen)) select.value = chosen;
  }

  function listDevices() {
    state.inputs = Array.from(state.access.inputs.values());
    state.outputs = Array.from(state.access.outputs.values());
    fillList($("input"), state.inputs);
    fillList($("output"), state.outputs);
    say("midi-status", `MIDI inputs: ${state.inputs.length}, MIDI outputs: ${state.outputs.length}.`);
  }

  $("connect").addEventListener("click", async () => {
    try {
      state.access = await navigator.requestMIDIAccess({ sysex: true });
    } catch (error) {
      state.access = null;
      say("midi-status", "MIDI access was refused: allow MIDI devices with System Exclusive messages " +
          "for this page in the browser's site settings, then press Allow MIDI access again.", true);
      updateButtons();
      return;
    }
    state.access.onstatechange = () => { if (!state.running) listDevices(); };
    listDevices();
    updateButtons();
  });

  // ---- The update ----
  $("start").addEventListener("click", async () => {
    state.running = true;
    state.accepted = 0;
    state.started = 0;
    updateButtons();
    clearConsole();
    $("progress").value = 0;
    $("trace").hidden = true;
    say("progress-text", "Looking for the keyboard...");
    const { status, module } = await runModule(0, Number($("input").value), Number($("output").value));
    state.running = false;
    if (status === 0) $("progress").value = 100;
    say("progress-text", lastMessage(), status !== 0);
    if (state.traceUrl) URL.revokeObjectURL(state.traceUrl);
    const trace = module.FS.readFile("/update-trace.log");
    state.traceUrl = URL.createObjectURL(new Blob([trace], { type: "text/plain" }));
    $("trace").href = state.traceUrl;
    $("trace").hidden = false;
    if (state.access) listDevices();
    updateButtons();
  });

  if (!navigator.requestMIDIAccess) {
    say("midi-status", "This browser cannot reach MIDI devices: use a Chromium-based browser " +
        "such as Chrome or Edge.", true);
  }
  updateButtons();
})();
