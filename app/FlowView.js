/*
 * The view of the installing flow (js\flow.js) for a run without a window:
 * the quiet run of the program and pageflow.exe. A host with no document and
 * no timers: progress goes to the native "host" object as text lines; the
 * flow's timers are kept here and run when the host calls flowViewTick()
 * from its message loop.
 *
 * The flow talks to flowViewExternal, which passes every call on to the
 * script object except the ones that need a person or a window: a message is
 * written as a line, closing is the end of the flow, and the busy-installer
 * question is answered "retry" at most flowViewBusyRetries times, each retry
 * after a pause of flowViewBusyPauseMs. The host sets both before
 * flowViewStart().
 *
 * Plain ES3, like the pages: it runs in the same JScript engine.
 */

var flowViewBusyRetries = 3;
var flowViewBusyPauseMs = 10000;
// A person who cancels (the installing page's Cancel, after its question):
// at the first progress of this step at or above this percent; "" never.
var flowViewCancelPhase = "";
var flowViewCancelPercent = 0;
var flowViewCancelAsked = false;

var flowViewTimers = [];
var flowViewNextTimer = 1;
var flowViewLastLine = "";
var flowViewRate = {time: 0, bytes: 0, perSecond: 0};
var flowViewRetries = 0;
var flowViewPauseNext = false;

function flowViewNow() {
    return new Date().getTime();
}

function flowViewMiB(bytes) {
    return (Math.floor(bytes / 104857.6) / 10).toFixed(1);
}

// One line per visible change: the step, its percent, and for the download
// the bytes so far, the size and the rate.
function flowViewProgressLine(state) {
    var line = state.phase + " " + state.phasePercent + "%";
    if (state.phase === "download" && state.total > 1) {
        var now = flowViewNow();
        if (flowViewRate.time === 0 || state.current < flowViewRate.bytes) {
            flowViewRate = {time: now, bytes: state.current, perSecond: 0};
        } else if (now - flowViewRate.time >= 1000) {
            flowViewRate.perSecond = (state.current - flowViewRate.bytes) * 1000 /
                (now - flowViewRate.time);
            flowViewRate.time = now;
            flowViewRate.bytes = state.current;
        }
        line += "  " + flowViewMiB(state.current) + " of " + flowViewMiB(state.total) + " MiB";
        if (flowViewRate.perSecond > 0) {
            line += "  " + flowViewMiB(flowViewRate.perSecond) + " MiB/s";
        }
    }
    return line + "  (overall " + state.percent + "%)";
}

var flowView = {
    progress: function (state) {
        var line = flowViewProgressLine(state);
        if (line !== flowViewLastLine) {
            flowViewLastLine = line;
            host.print(line);
        }
        if (!flowViewCancelAsked && state.phase === flowViewCancelPhase &&
            state.phasePercent >= flowViewCancelPercent) {
            flowViewCancelAsked = true;
            // As a click arrives: from the message loop, not inside this report.
            flowView.schedule(function () {
                host.print("cancel at " + state.phase + " " + state.phasePercent + "%");
                flowViewFlow.cancel();
            }, 0);
        }
    },
    schedule: function (fn, ms) {
        var timer = {id: flowViewNextTimer++, due: flowViewNow() + ms, fn: fn};
        flowViewTimers.push(timer);
        return timer.id;
    },
    cancel: function (id) {
        for (var i = 0; i < flowViewTimers.length; ++i) {
            if (flowViewTimers[i].id === id) {
                flowViewTimers.splice(i, 1);
                return;
            }
        }
    },
    navigate: function (page) {
        host.print("page " + page);
    },
    finished: function (outcome) {
        host.finished(outcome);
    },
    now: flowViewNow
};

// The script object as the flow sees it here. Every method the flow calls
// is listed, so a new one fails loudly instead of reaching a window.
var flowViewExternal = {
    getProperty: function (name) {
        return external.getProperty(name);
    },
    setInstallStatus: function (status) {
        external.setInstallStatus(status);
    },
    download: function (url, callback) {
        external.download(url, callback);
    },
    extract: function (callback) {
        external.extract(callback);
    },
    install: function (parameters, callback) {
        if (!flowViewPauseNext) {
            external.install(parameters, callback);
            return;
        }
        // Another installation was running: give it time to end first.
        flowViewPauseNext = false;
        host.print("waiting " + flowViewBusyPauseMs + " ms before installing again");
        flowView.schedule(function () {
            external.install(parameters, callback);
        }, flowViewBusyPauseMs);
    },
    messageBox: function (text, caption) {
        host.print("message box: " + text + " -> OK");
    },
    retryMessageBox: function (text) {
        var again = flowViewRetries < flowViewBusyRetries;
        if (again) {
            ++flowViewRetries;
            flowViewPauseNext = true;
        } else {
            host.busyBoundReached();
        }
        host.print("message box: " + text + " -> " + (again ? "retry" : "cancel"));
        return again;
    },
    closeWindow: function () {
        host.print("window closed");
    }
};

// What the start page checks before anything is installed, and what it
// records: "" when setup can go on, otherwise the problem ("installed" or
// "oldWindows"), reported with the start page's status 4.
function flowViewCheck() {
    var problem = environmentProblem(external.getProperty("tlwInstalled"),
                                     external.getProperty("osVersion"));
    if (problem) {
        external.setInstallStatus(4);
        return problem;
    }
    external.setInstallStatus(0);
    external.setChannel(installParams.CHNL ? String(installParams.CHNL) : "");
    return "";
}

var flowViewFlow = null;

// Starts the installing flow with the packed install parameters and the texts
// of the install language, as the installing page does.
function flowViewStart() {
    var lang = external.getProperty("lang");
    flowViewFlow = createInstallFlow(flowViewExternal, flowView, installParams,
                                     pickTexts(stubParams, lang));
    flowViewFlow.start();
}

// Runs the timers that are due, each once.
function flowViewTick() {
    var now = flowViewNow();
    var due = [];
    var waiting = [];
    for (var i = 0; i < flowViewTimers.length; ++i) {
        if (flowViewTimers[i].due <= now) {
            due.push(flowViewTimers[i]);
        } else {
            waiting.push(flowViewTimers[i]);
        }
    }
    flowViewTimers = waiting;
    for (var j = 0; j < due.length; ++j) {
        due[j].fn();
    }
}
