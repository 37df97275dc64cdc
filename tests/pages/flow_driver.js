// Runs the scenarios of flow_scenarios.js against a script object stand-in
// (see fake_external.js for the test methods it offers). Plain ES3, for
// Node and for Wine's JScript alike.

// A view with its own clock: scheduled calls run only when the driver lets
// time pass, so stalls of an hour take no time at all.
function ScriptedView(external) {
    this.external = external;
    this.clock = 0;
    this.timers = [];
    this.nextHandle = 1;
    this.progressLog = [];
    this.outcomes = [];
}

ScriptedView.prototype.now = function () {
    return this.clock;
};

ScriptedView.prototype.schedule = function (action, ms) {
    var handle = this.nextHandle++;
    this.timers.push({handle: handle, at: this.clock + ms, action: action});
    return handle;
};

ScriptedView.prototype.cancel = function (handle) {
    for (var i = 0; i < this.timers.length; i++) {
        if (this.timers[i].handle === handle) {
            this.timers.splice(i, 1);
            return;
        }
    }
};

ScriptedView.prototype.navigate = function (page) {
    this.external.testNote("navigate " + page);
};

ScriptedView.prototype.finished = function (outcome) {
    this.outcomes.push(outcome);
    this.external.testNote("finished " + outcome);
};

ScriptedView.prototype.progress = function (state) {
    var entry = state.phase + " " + state.percent;
    var last = this.progressLog.length ? this.progressLog[this.progressLog.length - 1] : "";
    if (!sameText(last, entry)) {
        this.progressLog.push(entry);
    }
};

// Moves the clock to the earliest scheduled call and runs it; false if none.
ScriptedView.prototype.step = function () {
    if (!this.timers.length) {
        return false;
    }
    var first = 0;
    for (var i = 1; i < this.timers.length; i++) {
        if (this.timers[i].at < this.timers[first].at) {
            first = i;
        }
    }
    var timer = this.timers.splice(first, 1)[0];
    if (timer.at > this.clock) {
        this.clock = timer.at;
    }
    timer.action();
    return true;
};

// Lets `ms` milliseconds pass, running what falls due.
ScriptedView.prototype.advance = function (ms) {
    var end = this.clock + ms;
    while (this.timers.length) {
        var due = end + 1;
        for (var i = 0; i < this.timers.length; i++) {
            if (this.timers[i].at < due) {
                due = this.timers[i].at;
            }
        }
        if (due > end) {
            break;
        }
        this.step();
    }
    this.clock = end;
};

// Text equality by characters: Wine's JScript takes some concatenated
// texts of equal length for equal under === (("a" + " ") + 1 === ("a" + " ") + 2).
function sameText(left, right) {
    left = String(left);
    right = String(right);
    if (left.length !== right.length) {
        return false;
    }
    for (var i = 0; i < left.length; i++) {
        if (left.charCodeAt(i) !== right.charCodeAt(i)) {
            return false;
        }
    }
    return true;
}

function expandExpected(line, texts) {
    return line.replace(/@([A-Za-z]+)/g, function (whole, key) {
        return "\"" + texts[key] + "\"";
    });
}

function compareLists(label, expected, actual, problems) {
    var count = Math.max(expected.length, actual.length);
    for (var i = 0; i < count; i++) {
        if (i >= expected.length || i >= actual.length || !sameText(expected[i], actual[i])) {
            problems.push(label + " " + (i + 1) + ": expected " +
                          (i < expected.length ? expected[i] : "nothing") + ", got " +
                          (i < actual.length ? actual[i] : "nothing") + " (all: " +
                          actual.join(" | ") + ")");
            return;
        }
    }
}

function copyList(list) {
    var copy = [];
    for (var i = 0; list && i < list.length; i++) {
        copy.push(list[i]);
    }
    return copy;
}

// Runs one scenario; returns what went wrong, one text per problem.
function runFlowScenario(scenario, external, texts) {
    var problems = [];
    var key;
    external.testReset();
    for (key in flowTestProperties) {
        if (flowTestProperties.hasOwnProperty(key)) {
            external.testSetProperty(key, flowTestProperties[key]);
        }
    }
    var own = scenario.properties || {};
    for (key in own) {
        if (own.hasOwnProperty(key)) {
            external.testSetProperty(key, own[key]);
        }
    }
    var answers = scenario.answers || [];
    for (var a = 0; a < answers.length; a++) {
        external.testAddAnswer(answers[a]);
    }
    var results = {
        download: copyList(scenario.download),
        extract: copyList(scenario.extract),
        install: copyList(scenario.install)
    };

    var view = new ScriptedView(external);
    var flow = createInstallFlow(external, view, scenario.params || flowTestParams, texts);
    flow.start();
    for (var guard = 0; guard < 100; guard++) {
        view.step();
        var operation = external.testPending();
        if (!operation) {
            break;
        }
        var left = results[operation];
        if (!left || !left.length) {
            problems.push("no result left for " + operation);
            break;
        }
        var code = left.shift();
        if (code === "stall") {
            view.advance(stallLimits[operation] + 60 * 1000);
        } else {
            external.testComplete(code);
        }
    }

    var expected = [];
    for (var e = 0; e < scenario.calls.length; e++) {
        expected.push(expandExpected(scenario.calls[e], texts));
    }
    var actual = [];
    var lines = external.testCalls().split("\n");
    for (var c = 0; c < lines.length; c++) {
        if (lines[c] && lines[c].indexOf("getProperty(") !== 0) {
            actual.push(lines[c]);
        }
    }
    compareLists("call", expected, actual, problems);
    if (scenario.progress) {
        compareLists("progress", scenario.progress, view.progressLog, problems);
    }
    if (scenario.state && flow.state !== scenario.state) {
        problems.push("state " + flow.state + ", expected " + scenario.state);
    }
    if (view.outcomes.length !== 1) {
        problems.push("finished " + view.outcomes.length + " times");
    }
    if (view.timers.length) {
        problems.push(view.timers.length + " scheduled calls left at the end");
    }
    for (key in results) {
        if (results.hasOwnProperty(key) && results[key].length) {
            problems.push(results[key].length + " " + key + " results unused");
        }
    }
    return problems;
}

// For hosts that want one text back: "" when scenario `index` passed.
function flowScenarioReport(index, external, texts) {
    var problems = runFlowScenario(flowScenarios[index], external, texts);
    return problems.join("; ");
}
