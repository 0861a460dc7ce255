"use strict";
// The start page: one row per pin, driven only through the four GPIO routes.
// Reads go one after another, since the board takes one exchange at a time.

const PIN_COUNT = 20;  // an Uno R4's D0-D13 and A0-A5
const AUTO_PERIOD_MS = 2000;

const statusLine = document.getElementById("status");
const rows = [];
let busy = false;

function unoLabel(pin) {
  return pin < 14 ? "D" + pin : "A" + (pin - 14);
}

// What went wrong at the board, as the operator would say it; other errors
// (which this page's own requests do not meet) show the server's answer.
const PLAIN_ERRORS = {
  "Not connected": "the board is not connected",
  "No answer from board": "the board did not answer",
  "Bad answer from board": "the board's answer was not the one expected",
  "Mode not implemented": "this mode cannot be set on the board yet",
};

function showStatus(text, isError) {
  statusLine.textContent = text;
  statusLine.classList.toggle("error", Boolean(isError));
}

// One API call; resolves to the parsed answer, or null for an empty one
// (the modes beyond input and output answer with no body).
async function api(method, path, body) {
  const init = { method: method };
  if (body !== undefined) {
    init.headers = { "Content-Type": "application/json" };
    init.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch (e) {
    throw new Error("the web server is not answering (is a board connected?)");
  }
  const text = await res.text();
  if (!res.ok) {
    let reason = "";
    try { reason = JSON.parse(text).error || ""; } catch (e) { /* no JSON body */ }
    throw new Error(PLAIN_ERRORS[reason] ||
                    "the server answered " + res.status + (reason ? " (" + reason + ")" : ""));
  }
  return text ? JSON.parse(text) : null;
}

// Runs one pin's action; a failure names the pin.
async function onPin(pin, action) {
  try {
    return await action();
  } catch (e) {
    throw new Error("pin " + pin + ": " + e.message);
  }
}

// A value that could not be read is not shown as if it were current.
function showUnread(row) {
  row.digital.textContent = "–";
  row.digital.classList.remove("high");
  row.analog.textContent = "–";
}

async function readPin(row) {
  try {
    const digital = await api("GET", "/api/gpio/grd/" + row.pin);
    row.digital.textContent = digital.value;
    row.digital.classList.toggle("high", digital.value === 1);
    const analog = await api("GET", "/api/gpio/gra/" + row.pin);
    row.analog.textContent = analog.value;
  } catch (e) {
    showUnread(row);
    throw new Error("pin " + row.pin + ": " + e.message);
  }
}

// Runs one board action at a time and reports how it went.
async function exclusive(action, doneText) {
  if (busy) return;
  busy = true;
  try {
    await action();
    showStatus(doneText(), false);
  } catch (e) {
    showStatus("Failed: " + e.message, true);
  } finally {
    busy = false;
  }
}

function readAll() {
  return exclusive(async function () {
    showStatus("Reading pins…", false);
    let next = 0;
    try {
      for (; next < rows.length; next++) await readPin(rows[next]);
    } catch (e) {
      // The round stops at the pin that failed; the pins after it were not
      // read either, and show no value from an earlier round.
      for (const row of rows.slice(next + 1)) showUnread(row);
      throw e;
    }
  }, function () {
    return "Pins read at " + new Date().toLocaleTimeString();
  });
}

function buildRows() {
  const template = document.getElementById("pin-row");
  const body = document.querySelector("#pins tbody");
  for (let pin = 0; pin < PIN_COUNT; pin++) {
    const tr = template.content.firstElementChild.cloneNode(true);
    tr.dataset.pin = pin;
    tr.querySelector(".pin").textContent = pin;
    tr.querySelector(".label").textContent = unoLabel(pin);
    const row = {
      pin: pin,
      digital: tr.querySelector(".digital"),
      analog: tr.querySelector(".analog"),
    };
    const mode = tr.querySelector(".mode");
    let modeSet = mode.value;
    mode.addEventListener("change", function () {
      if (!mode.value) return;
      exclusive(async function () {
        try {
          await onPin(pin, function () {
            return api("POST", "/api/gpio/config/" + pin, { mode: mode.value });
          });
          modeSet = mode.value;
        } catch (e) {
          mode.value = modeSet;  // the column shows only modes really set
          throw e;
        }
      }, function () {
        return "Pin " + pin + " set to " + mode.value;
      });
    });
    for (const button of tr.querySelectorAll(".write")) {
      button.addEventListener("click", function () {
        const value = Number(button.dataset.value);
        exclusive(async function () {
          await onPin(pin, function () {
            return api("POST", "/api/gpio/gwd/" + pin, { value: value });
          });
          await readPin(row);
        }, function () {
          return "Pin " + pin + " written " + value;
        });
      });
    }
    rows.push(row);
    body.appendChild(tr);
  }
}

buildRows();
document.getElementById("refresh").addEventListener("click", readAll);
let autoTimer = null;
document.getElementById("auto").addEventListener("change", function (event) {
  clearInterval(autoTimer);
  autoTimer = event.target.checked ? setInterval(readAll, AUTO_PERIOD_MS) : null;
});
readAll();
