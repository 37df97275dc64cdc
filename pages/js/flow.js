/*
 * The setup pages' logic that needs no document: text and URL helpers, the
 * environment check of "Load.html" and the installing flow of
 * "Installing.html". A headless host runs the same flow with the native
 * script object and a console view, so nothing here touches window,
 * document, setTimeout or setInterval.
 *
 * Plain ES3 for the platform's JScript: no let/const, arrow functions,
 * trailing commas, getters, Array extras (forEach, map, indexOf, ...),
 * JSON, Date.now, String trim or Function bind.
 *
 * Calling the script object ("external"): the native side checks how each
 * method is called. Methods that return a value (getProperty,
 * retryMessageBox) are only called where their value is used; methods that
 * return nothing only as statements. Numbers are whole numbers, flags are
 * booleans, texts are strings, callbacks are functions.
 *
 * createInstallFlow(external, view, params, texts) -> flow
 *   external  the script object.
 *   params    the install parameters (installParams of js/installparams.js).
 *   texts     the page texts of one language (pickTexts).
 *   view      what the flow shows and how it waits, an object with:
 *     progress(state)   the progress changed or a new step began. state has
 *                       phase ("download", "extract" or "install"), percent
 *                       (0-100, the whole run; never goes back), phasePercent
 *                       (0-100, this step), and during the download current
 *                       and total (bytes, from the script object).
 *     schedule(fn, ms)  call fn once, about ms milliseconds from now, and
 *                       return a handle. A host without timers may keep fn
 *                       and call it from its own loop, or return null and
 *                       call flow.tick() itself now and then.
 *     cancel(handle)    forget a scheduled call (handle as schedule gave it).
 *     navigate(page)    show another page; the flow asks for "Complete.html"
 *                       after a successful install.
 *     finished(outcome) called once, last: "completed", "failed" (a message
 *                       was shown and the window closed) or "canceled" (the
 *                       user gave up after a busy installer, or cancelled;
 *                       window closed).
 *     now()             optional: a millisecond clock for the stall guard;
 *                       new Date().getTime() when the view has none.
 *
 * flow.start()  reports status 2 and starts the download; download, extract
 *               and install follow one another, each started from the
 *               previous one's callback with result 0.
 * flow.cancel() the user stops setup: the flow ends as "canceled" (status
 *               3) and closes the window; the script object stops the step
 *               that runs (setup itself goes on to its end). False when the
 *               flow had already ended.
 * flow.tick()   reads the progress properties now (the view's scheduled
 *               calls do this every pollMs) and checks for a stall.
 * flow.state    "idle", "download", "extract", "install", "completed",
 *               "failed" or "canceled".
 * flow.isOver() true once the flow has ended (view.finished was called).
 *
 * Download result 2 (not found) is retried once with the default URL (see
 * packageUrls). Install result 4 (another installation is running) asks
 * retryMessageBox: retry installs again, cancel reports status 3 and
 * closes. Any other failure shows a message box and closes; the status
 * stays 2, the error status. A step whose callback never comes and whose
 * progress stands still for stallLimits[step] milliseconds is a failure too,
 * and a callback that comes after that, or twice, is ignored.
 */

var flowPollMs = 500;

// How long a step may show no progress at all before the page gives up.
// Generous: a slow line or a large product stands still for minutes.
var stallLimits = {
    download: 20 * 60 * 1000,
    extract: 20 * 60 * 1000,
    install: 90 * 60 * 1000
};

// Where each step sits on the one progress bar, in percent of the run.
var phaseSpans = {
    download: [0, 60],
    extract: [60, 70],
    install: [70, 100]
};

// The texts of language `code`: English, overlaid with what the language has.
function pickTexts(table, code) {
    var texts = {};
    var key;
    var base = table.en || {};
    for (key in base) {
        if (base.hasOwnProperty(key)) {
            texts[key] = base[key];
        }
    }
    var own = (code && table.hasOwnProperty(code)) ? table[code] : null;
    if (own) {
        for (key in own) {
            if (own.hasOwnProperty(key)) {
                texts[key] = own[key];
            }
        }
    }
    return texts;
}

// "{0} of {1}" with values[0] and values[1].
function formatText(template, values) {
    return String(template).replace(/\{(\d+)\}/g, function (whole, index) {
        var value = values[Number(index)];
        return value === undefined ? whole : String(value);
    });
}

// A byte count as megabytes with one decimal, e.g. "12.5 MB".
function formatMegabytes(bytes, decimalPoint) {
    var tenths = Math.round(Math.max(0, bytes) * 10 / 1048576);
    var text = Math.floor(tenths / 10) + (decimalPoint || ".") + (tenths % 10);
    return text + " MB";
}

// A property text as a whole number; `fallback` when it is none.
function toWholeNumber(text, fallback) {
    var match = /^\s*(-?\d+)\s*$/.exec(String(text));
    return match ? parseInt(match[1], 10) : fallback;
}

function clampPercent(value) {
    if (!(value > 0)) {
        return 0;
    }
    return value > 100 ? 100 : Math.floor(value);
}

// Replaces every ${name} with the URL-encoded value of lookup(name).
function expandTokens(template, lookup) {
    return String(template).replace(/\$\{([A-Za-z0-9_]+)\}/g, function (whole, name) {
        var value = lookup(name);
        return encodeURIComponent(value === undefined || value === null ? "" : String(value));
    });
}

// The fallback for a package URL: its folder (query and fragment dropped)
// followed by `fileName`; "" without a file name or a usable URL.
function defaultPackageUrl(url, fileName) {
    if (!url || !fileName) {
        return "";
    }
    var base = String(url).split("#")[0].split("?")[0];
    var scheme = base.indexOf("://");
    var pathStart = scheme < 0 ? 0 : base.indexOf("/", scheme + 3);
    if (scheme >= 0 && pathStart < 0) {
        return base + "/" + fileName;
    }
    return base.substring(0, base.lastIndexOf("/") + 1) + fileName;
}

// The package URL and its fallback from the install parameters, tokens
// replaced through lookup (the page properties).
function packageUrls(params, lookup) {
    var primary = params.DOWNLOAD_URL ? expandTokens(params.DOWNLOAD_URL, lookup) : "";
    var name = params.PRODUCT_FILE_NAME ? expandTokens(params.PRODUCT_FILE_NAME, lookup) : "";
    return {primary: primary, fallback: defaultPackageUrl(primary, name)};
}

// Why setup cannot go on here: "installed", "oldWindows" or "" (it can).
// Windows 7 (6.1) is the oldest supported; an unreadable version is not
// taken as supported.
function environmentProblem(installedText, osVersionText) {
    if (String(installedText) === "true") {
        return "installed";
    }
    var match = /^\s*(\d+)(?:\.(\d+))?/.exec(String(osVersionText));
    if (!match) {
        return "oldWindows";
    }
    var major = parseInt(match[1], 10);
    var minor = match[2] ? parseInt(match[2], 10) : 0;
    if (major < 6 || (major === 6 && minor < 1)) {
        return "oldWindows";
    }
    return "";
}

// The text key of the message for a failed step and its result code.
function failureMessageKey(phase, code) {
    if (phase === "download") {
        if (code === 3) {
            return "errDiskFull";
        }
        return code === 5 ? "errNoNetwork" : "errDownload";
    }
    if (phase === "extract") {
        return code === 2 ? "errDiskFull" : "errExtract";
    }
    if (phase === "install") {
        return "errInstall";
    }
    return "errStalled";
}

// A callback's result as a whole number; -1 (a failure) for anything else.
function resultCode(value) {
    if (typeof value === "number" && value === Math.floor(value)) {
        return value;
    }
    return toWholeNumber(value, -1);
}

// Whether two lists of property texts are equal, compared character by
// character: some engines get === wrong for concatenated texts.
function sameValues(left, right) {
    if (left.length !== right.length) {
        return false;
    }
    for (var i = 0; i < left.length; i++) {
        var a = String(left[i]);
        var b = String(right[i]);
        if (a.length !== b.length) {
            return false;
        }
        for (var j = 0; j < a.length; j++) {
            if (a.charCodeAt(j) !== b.charCodeAt(j)) {
                return false;
            }
        }
    }
    return true;
}

// Percent of a step, from the script object's properties.
function phasePercent(phase, read) {
    if (phase === "download") {
        var total = toWholeNumber(read("downloadTotal"), 0);
        var current = toWholeNumber(read("downloadCurrent"), 0);
        return total > 0 ? clampPercent(current * 100 / total) : 0;
    }
    if (phase === "extract") {
        return clampPercent(toWholeNumber(read("extractProgress"), 0));
    }
    return clampPercent(toWholeNumber(read("installProgress"), 0));
}

// Percent of the whole run for a step at `percent` of itself.
function overallPercent(phase, percent) {
    var span = phaseSpans[phase];
    return span[0] + Math.floor(clampPercent(percent) * (span[1] - span[0]) / 100);
}

function InstallFlow(external, view, params, texts) {
    this.external = external;
    this.view = view;
    this.texts = texts;
    this.urls = packageUrls(params, function (name) {
        var value = external.getProperty(name);
        return value;
    });
    this.parameters = params.EXE_PARAMETERS ? String(params.EXE_PARAMETERS) : "";
    this.state = "idle";
    this.usedFallback = false;
    this.operation = 0;
    this.percent = 0;
    this.current = 0;
    this.total = 0;
    this.timer = null;
    this.lastSeen = [];
    this.lastChange = 0;
}

function createInstallFlow(external, view, params, texts) {
    return new InstallFlow(external, view, params, texts);
}

InstallFlow.prototype.text = function (key) {
    var value = this.texts[key];
    return value === undefined ? key : String(value);
};

InstallFlow.prototype.now = function () {
    return this.view.now ? this.view.now() : new Date().getTime();
};

InstallFlow.prototype.isOver = function () {
    return this.state === "completed" || this.state === "failed" || this.state === "canceled";
};

InstallFlow.prototype.start = function () {
    if (this.state !== "idle") {
        return;
    }
    this.external.setInstallStatus(2);
    if (!this.urls.primary) {
        this.fail("download", 1);
        return;
    }
    this.download(this.urls.primary);
};

// Starts one step through `begin(callback)`; the callback reaches `done`
// only for this step and only once.
InstallFlow.prototype.begin = function (phase, begin, done) {
    var self = this;
    var operation = ++this.operation;
    this.state = phase;
    this.lastSeen = [];
    this.lastChange = this.now();
    this.current = 0;
    this.total = 0;
    this.report(phase, 0);
    var callback = function (code) {
        if (operation !== self.operation || self.state !== phase) {
            return;
        }
        ++self.operation;
        done.call(self, resultCode(code));
    };
    try {
        begin.call(this, callback);
    } catch (e) {
        // The script object refused the call: the step has failed.
        if (operation === this.operation && this.state === phase) {
            ++this.operation;
            this.fail(phase, -1);
        }
        return;
    }
    if (operation === this.operation && this.state === phase) {
        this.tick();
    }
};

InstallFlow.prototype.download = function (url) {
    this.begin("download", function (callback) {
        this.external.download(url, callback);
    }, this.downloaded);
};

InstallFlow.prototype.downloaded = function (code) {
    if (code === 0) {
        this.extract();
    } else if (code === 2 && !this.usedFallback && this.urls.fallback) {
        this.usedFallback = true;
        this.download(this.urls.fallback);
    } else {
        this.fail("download", code);
    }
};

InstallFlow.prototype.extract = function () {
    this.begin("extract", function (callback) {
        this.external.extract(callback);
    }, this.extracted);
};

InstallFlow.prototype.extracted = function (code) {
    if (code === 0) {
        this.install();
    } else {
        this.fail("extract", code);
    }
};

InstallFlow.prototype.install = function () {
    var parameters = this.parameters;
    this.begin("install", function (callback) {
        this.external.install(parameters, callback);
    }, this.installed);
};

InstallFlow.prototype.installed = function (code) {
    if (code === 0) {
        this.report("install", 100);
        this.finish("completed");
        this.external.setInstallStatus(1);
        this.view.navigate("Complete.html");
        this.view.finished("completed");
    } else if (code === 4) {
        this.stopTimer();
        var again = this.external.retryMessageBox(this.text("retryInstall"));
        if (again) {
            this.install();
        } else {
            this.finish("canceled");
            this.external.setInstallStatus(3);
            this.external.closeWindow();
            this.view.finished("canceled");
        }
    } else {
        this.fail("install", code);
    }
};

InstallFlow.prototype.cancel = function () {
    if (this.isOver()) {
        return false;
    }
    this.finish("canceled");
    this.external.setInstallStatus(3);
    this.external.closeWindow();
    this.view.finished("canceled");
    return true;
};

InstallFlow.prototype.fail = function (phase, code) {
    this.finish("failed");
    var message = this.text(failureMessageKey(phase, code));
    try {
        this.external.messageBox(message, this.text("caption"));
    } catch (e) {
        // Closing matters more than the message.
    }
    this.external.closeWindow();
    this.view.finished("failed");
};

InstallFlow.prototype.finish = function (state) {
    this.state = state;
    ++this.operation;
    this.stopTimer();
};

InstallFlow.prototype.stopTimer = function () {
    if (this.timer !== null) {
        this.view.cancel(this.timer);
        this.timer = null;
    }
};

InstallFlow.prototype.report = function (phase, percent) {
    var overall = overallPercent(phase, percent);
    if (overall > this.percent) {
        this.percent = overall;
    }
    var state = {phase: phase, percent: this.percent, phasePercent: clampPercent(percent)};
    if (phase === "download") {
        state.current = this.current || 0;
        state.total = this.total || 0;
    }
    this.view.progress(state);
};

InstallFlow.prototype.tick = function () {
    this.stopTimer();
    var phase = this.state;
    if (!phaseSpans.hasOwnProperty(phase)) {
        return;
    }
    // The next poll is booked first, so that one failed read does not end
    // the polling (and with it the stall guard).
    var self = this;
    var timer = this.view.schedule(function () {
        if (self.timer === timer) {
            self.timer = null;
        }
        self.tick();
    }, flowPollMs);
    this.timer = timer === undefined ? null : timer;

    var external = this.external;
    var seen = [];
    var read = function (name) {
        var value = external.getProperty(name);
        seen.push(value);
        return value;
    };
    var percent = phasePercent(phase, read);
    if (phase === "download") {
        this.total = Math.max(0, toWholeNumber(seen[0], 0));
        this.current = Math.max(0, toWholeNumber(seen[1], 0));
    }
    this.report(phase, percent);

    var now = this.now();
    if (!sameValues(seen, this.lastSeen)) {
        this.lastSeen = seen;
        this.lastChange = now;
    } else if (now - this.lastChange >= stallLimits[phase]) {
        this.fail("stalled", 0);
    }
};
