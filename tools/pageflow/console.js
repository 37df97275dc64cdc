/*
 * The console view of the installing flow (js\flow.js), for pageflow.exe: a
 * host with no document and no timers. Progress goes to the native "host"
 * object as text lines; the flow's timers are kept here and run when the
 * host calls pageflowTick() from its message loop.
 *
 * Plain ES3, like the pages: it runs in the same JScript engine.
 */

var pageflowTimers = [];
var pageflowNextTimer = 1;
var pageflowLastLine = "";
var pageflowRate = {time: 0, bytes: 0, perSecond: 0};

function pageflowNow() {
    return new Date().getTime();
}

function pageflowMiB(bytes) {
    return (Math.floor(bytes / 104857.6) / 10).toFixed(1);
}

// One line per visible change: the step, its percent, and for the download
// the bytes so far, the size and the rate.
function pageflowProgressLine(state) {
    var line = state.phase + " " + state.phasePercent + "%";
    if (state.phase === "download" && state.total > 1) {
        var now = pageflowNow();
        if (pageflowRate.time === 0 || state.current < pageflowRate.bytes) {
            pageflowRate = {time: now, bytes: state.current, perSecond: 0};
        } else if (now - pageflowRate.time >= 1000) {
            pageflowRate.perSecond = (state.current - pageflowRate.bytes) * 1000 /
                (now - pageflowRate.time);
            pageflowRate.time = now;
            pageflowRate.bytes = state.current;
        }
        line += "  " + pageflowMiB(state.current) + " of " + pageflowMiB(state.total) + " MiB";
        if (pageflowRate.perSecond > 0) {
            line += "  " + pageflowMiB(pageflowRate.perSecond) + " MiB/s";
        }
    }
    return line + "  (overall " + state.percent + "%)";
}

var pageflowView = {
    progress: function (state) {
        var line = pageflowProgressLine(state);
        if (line !== pageflowLastLine) {
            pageflowLastLine = line;
            host.print(line);
        }
    },
    schedule: function (fn, ms) {
        var timer = {id: pageflowNextTimer++, due: pageflowNow() + ms, fn: fn};
        pageflowTimers.push(timer);
        return timer.id;
    },
    cancel: function (id) {
        for (var i = 0; i < pageflowTimers.length; ++i) {
            if (pageflowTimers[i].id === id) {
                pageflowTimers.splice(i, 1);
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
    now: pageflowNow
};

var pageflowFlow = null;

// Starts the installing flow with the packed install parameters and the texts
// of the install language, as the installing page does.
function pageflowStart() {
    var lang = external.getProperty("lang");
    pageflowFlow = createInstallFlow(external, pageflowView, installParams,
                                     pickTexts(stubParams, lang));
    pageflowFlow.start();
}

// Runs the timers that are due, each once.
function pageflowTick() {
    var now = pageflowNow();
    var due = [];
    var waiting = [];
    for (var i = 0; i < pageflowTimers.length; ++i) {
        if (pageflowTimers[i].due <= now) {
            due.push(pageflowTimers[i]);
        } else {
            waiting.push(pageflowTimers[i]);
        }
    }
    pageflowTimers = waiting;
    for (var j = 0; j < due.length; ++j) {
        due[j].fn();
    }
}
