// The update page: picks the firmware file, asks for MIDI access, and runs the
// updater's module (update.js) on the file, once for the file check and once
// for the update. Each run gets a fresh module instance, as each console run
// gets a fresh process. One thing at a time: while a file check, an update or
// the request for MIDI access is under way, the controls are disabled and
// their handlers do nothing.
"use strict";

(() => {
  const $ = (id) => document.getElementById(id);
  const kMaxFileBytes = 16 * 1024 * 1024; // far above any firmware text
  const kFailureLimit = 20;
  const kMaxOpenInputs = 10; // inputs the search listens on at once
  const state = { file: null, checked: false, records: 0, access: null, inputs: [], outputs: [],
                  busy: false, fail: null, traceUrl: null,
                  inputChosen: false, started: 0, lastCode: null };

  // ---- The messages, shown as a console shows them ----
  // A carriage return takes the cursor back to the start of the line.
  let lines = [""];
  let column = 0;
  let pending = "";
  let flushScheduled = false;

  // The program's advice names its command line; on the page the same advice
  // names the page's controls.
  const pageWords = [
    // A refused file cannot be updated from: a fresh copy is chosen again.
    ["from where you got it, then run update again", "from where you got it, then choose it on this page again"],
    ["then run update again", "then press Update the keyboard again"],
    ["and run update again", "and press Update the keyboard again"],
    ["; update --list should show it", "; the page's lists of inputs and outputs should show it"],
    ["Run update again", "Press Update the keyboard again"],
    [" (see update --list)", " (choose one from the page's lists)"],
  ];
  const inPageWords = (text) => pageWords.reduce((out, [from, to]) => out.split(from).join(to), text);

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
    $("console").textContent = inPageWords(lines.join("\n"));
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

  const describe = (error) => (error && error.name ? `${error.name}: ${error.message}` : String(error));

  // ---- The status line: what the device phase is doing ----
  const portName = (ports, k) => (ports[k] ? ports[k].name : "?");
  const kSearch = 0;
  const kRecord = 1;

  function timeLeft(record, records) {
    if (record <= 1 || state.started === 0) return "";
    const elapsed = (performance.now() - state.started) / 1000;
    const left = Math.ceil((elapsed / (record - 1)) * (records - record + 1));
    return `, about ${Math.floor(left / 60)}:${String(left % 60).padStart(2, "0")} left`;
  }

  // what kSearch: the first input listened to, inputs, output, outputs
  // (counted from 0): the search listens on up to kMaxOpenInputs inputs at
  // once, or on the one chosen; kRecord: record (from 1), records, failures
  // so far, percent done. Called as the module's method: this.webMidi holds
  // the ports its MIDI layer has open.
  function onStatus(what, a, b, c, d) {
    if (what === kSearch) {
      const last = state.inputChosen ? a : Math.min(a + kMaxOpenInputs, b) - 1;
      const heard = last === a ? `input ${a + 1} of ${b} (${portName(state.inputs, a)})`
        : `inputs ${a + 1} to ${last + 1} of ${b}`;
      say("progress-text", `Looking for the keyboard: ${heard}, output ${c + 1} of ${d} ` +
          `(${portName(state.outputs, c)})`);
      return;
    }
    const [record, records, failures, percent] = [a, b, c, d];
    const code = state.lastCode;
    state.lastCode = null;
    $("progress").value = percent;
    if (failures > 0) {
      const cause = code === null ? `No answer, sending record ${record} again`
        : `The keyboard refused record ${record} (code ${code.toString(16).toUpperCase()}), sending it again`;
      say("progress-text", `${cause} (attempt ${failures + 1} of ${kFailureLimit})`);
    } else if (record === 1) {
      state.started = performance.now();
      const web = this.webMidi || { inputs: new Map() };
      const input = web.inputs.size === 1 ? web.inputs.values().next().value : null;
      say("progress-text", `Found the keyboard (input ${input ? input.name : "?"}, output ` +
          `${web.output ? web.output.name : "?"}): sending record 1 of ${records}`);
    } else {
      say("progress-text", `Sending record ${record} of ${records} (${percent}% done)${timeLeft(record, records)}`);
    }
  }

  function onMidiMessage(data) {
    if (data.length >= 3 && data[0] === 0xf0) state.lastCode = data[1];
  }

  // ---- One run of the module ----
  // mode 0: update, 1: the file check. The file goes through the module's
  // heap. Returns the exit status and the module; throws when the module
  // fails (an abort, or an error in one of its callbacks).
  async function runModule(mode, input, output) {
    const decoder = new TextDecoder();
    const put = (code) => {
      if (code !== null) write(decoder.decode(new Uint8Array([code]), { stream: true }));
    };
    const failed = new Promise((resolve, reject) => { state.fail = reject; });
    failed.catch(() => {});
    try {
      const module = await createUpdateModule({
        midiInputs: state.inputs,
        midiOutputs: state.outputs,
        onMidiMessage,
        onStatus,
        onAbort: (what) => state.fail(new Error(`the module stopped (${what})`)),
        preRun: [(m) => m.FS.init(() => null, put, put)],
      });
      const bytes = state.file.bytes;
      const at = module._malloc(Math.max(bytes.length, 1));
      if (at === 0) throw new Error("no memory for the file");
      module.HEAPU8.set(bytes, at);
      const run = module.ccall("WebRun", "number", ["string", "number", "number", "number", "number", "number"],
        [state.file.name, at, bytes.length, mode, input, output], { async: true });
      const status = await Promise.race([run, failed]);
      module._free(at);
      return { status, module };
    } finally {
      state.fail = null;
      flush();
    }
  }
  for (const name of ["error", "unhandledrejection"]) {
    window.addEventListener(name, (event) => { if (state.fail) state.fail(event.error || event.reason); });
  }

  // The last message the run printed: the outcome in the page's words.
  function lastMessage() {
    for (let k = lines.length - 1; k >= 0; k -= 1) {
      const line = lines[k].trim();
      if (line !== "" && !line.startsWith("Transferring..")) return inPageWords(line);
    }
    return "";
  }

  function updateButtons() {
    $("start").disabled = state.busy || !state.checked || state.access === null;
    $("file").disabled = state.busy;
    $("connect").disabled = state.busy || !navigator.requestMIDIAccess;
    $("input").disabled = state.busy || state.access === null;
    $("output").disabled = state.busy || state.access === null;
  }

  // Marks the page busy, at once, and runs task; the controls follow again
  // at its end, whatever happened.
  async function exclusive(task) {
    if (state.busy) return;
    state.busy = true;
    updateButtons();
    try {
      await task();
    } finally {
      state.busy = false;
      updateButtons();
    }
  }

  // ---- The file ----
  function takeFile(file) {
    if (!file) return;
    exclusive(async () => {
      state.file = null;
      state.checked = false;
      clearConsole();
      $("trace").hidden = true;
      if (file.size > kMaxFileBytes) {
        const size = (file.size / (1024 * 1024)).toFixed(1);
        say("progress-text", `The file '${file.name}' is ${size} MiB, too large for a firmware file ` +
            "(at most 16 MiB): choose the firmware file made for your keyboard.", true);
        return;
      }
      say("progress-text", "Checking the file...");
      try {
        state.file = { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) };
        const { status } = await runModule(1, -1, -1);
        const summary = /File check passed: (\d+) records/.exec(lines.join("\n"));
        state.checked = status === 0 && summary !== null;
        state.records = summary ? Number(summary[1]) : 0;
        say("progress-text", state.checked ? "The file is ready." : lastMessage(), !state.checked);
      } catch (error) {
        state.file = null;
        say("progress-text", `The file could not be checked (${describe(error)}): choose it again.`, true);
      }
    });
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

  // A refusal is the user's or the browser's settings; anything else is the
  // computer's MIDI system.
  function accessProblem(error) {
    if (error && (error.name === "NotAllowedError" || error.name === "SecurityError")) {
      return "MIDI access was refused: allow MIDI devices with System Exclusive messages " +
          "for this page in the browser's site settings, then press Allow MIDI access again.";
    }
    return `The computer's MIDI system could not be started (${describe(error)}). Connect the keyboard, ` +
        "close the other programs that use MIDI, then press Allow MIDI access again.";
  }

  $("connect").addEventListener("click", () => exclusive(async () => {
    try {
      state.access = await navigator.requestMIDIAccess({ sysex: true });
    } catch (error) {
      state.access = null;
      say("midi-status", accessProblem(error), true);
      return;
    }
    state.access.onstatechange = () => { if (!state.busy) listDevices(); };
    listDevices();
  }));

  // ---- The update ----
  $("start").addEventListener("click", () => {
    if (!state.checked || state.access === null) return;
    exclusive(async () => {
      state.started = 0;
      state.lastCode = null;
      state.inputChosen = Number($("input").value) >= 0;
      clearConsole();
      $("progress").value = 0;
      $("trace").hidden = true;
      say("progress-text", "Looking for the keyboard...");
      try {
        const { status, module } = await runModule(0, Number($("input").value), Number($("output").value));
        if (status === 0) $("progress").value = 100;
        say("progress-text", lastMessage(), status !== 0);
        if (state.traceUrl) URL.revokeObjectURL(state.traceUrl);
        const trace = module.FS.readFile("/update-trace.log");
        state.traceUrl = URL.createObjectURL(new Blob([trace], { type: "text/plain" }));
        $("trace").href = state.traceUrl;
        $("trace").hidden = false;
      } catch (error) {
        say("progress-text", `The update stopped: the page failed (${describe(error)}). Reload the page, ` +
            "then press Update the keyboard again: it starts over from the first record.", true);
      }
      if (state.access) listDevices();
    });
  });

  if (!navigator.requestMIDIAccess) {
    say("midi-status", "This browser cannot reach MIDI devices: use a Chromium-based browser " +
        "such as Chrome or Edge.", true);
  }
  updateButtons();
})();
