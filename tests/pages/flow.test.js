// The installing flow and the pages' pure helpers under Node, with the
// script stand-in of fake_external.js: fast, and the same scenario table
// that the Wine test runs in the platform's JScript.
const test = require("node:test");
const assert = require("node:assert/strict");
const path = require("path");
const createFakeExternal = require("./fake_external.js");
const {loadScripts} = require("./load_scripts.js");

const here = __dirname;
const scope = loadScripts(["js/stubparams.js", "js/flow.js",
                           path.join(here, "flow_scenarios.js"),
                           path.join(here, "flow_driver.js")]);
const english = scope.pickTexts(scope.stubParams, "en");
// Values made in the scripts' own realm, as plain values of this one.
const plain = (value) => JSON.parse(JSON.stringify(value));

test.describe("scenario table", () => {
    for (const scenario of scope.flowScenarios) {
        test(scenario.name, () => {
            const external = createFakeExternal();
            assert.deepEqual(plain(scope.runFlowScenario(scenario, external, english)), []);
        });
    }
});

test("the scenarios' texts are those of the chosen language", () => {
    const german = scope.pickTexts(scope.stubParams, "de");
    const external = createFakeExternal();
    const failing = scope.flowScenarios.find((s) => s.name === "download: disk full");
    assert.deepEqual(plain(scope.runFlowScenario(failing, external, german)), []);
    assert.ok(external.testCalls().includes(german.errDiskFull));
    assert.notEqual(german.errDiskFull, english.errDiskFull);
});

test.describe("pure helpers", () => {
    test("pickTexts falls back to English key by key", () => {
        const table = {en: {a: "A", b: "B"}, de: {a: "Ä"}, xx: {}};
        const cases = [
            ["de", {a: "Ä", b: "B"}],
            ["en", {a: "A", b: "B"}],
            ["fr", {a: "A", b: "B"}],
            ["", {a: "A", b: "B"}],
            ["hasOwnProperty", {a: "A", b: "B"}],
            ["xx", {a: "A", b: "B"}],
        ];
        for (const [code, expected] of cases) {
            assert.deepEqual(plain(scope.pickTexts(table, code)), expected, code);
        }
    });

    test("formatText and formatMegabytes", () => {
        const cases = [
            [scope.formatText("{0} of {1}", ["1", "2"]), "1 of 2"],
            [scope.formatText("{1}/{0}/{1}", ["a", "b"]), "b/a/b"],
            [scope.formatText("{2} stays", ["a"]), "{2} stays"],
            [scope.formatMegabytes(0), "0.0 MB"],
            [scope.formatMegabytes(1048576 * 12.25), "12.3 MB"],
            [scope.formatMegabytes(1048576 * 150, ","), "150,0 MB"],
            [scope.formatMegabytes(52428), "0.0 MB"],
            [scope.formatMegabytes(52429), "0.1 MB"],
            [scope.formatMegabytes(-5), "0.0 MB"],
        ];
        for (const [actual, expected] of cases) {
            assert.equal(actual, expected);
        }
    });

    test("expandTokens replaces page properties, URL-encoded", () => {
        const properties = {osbits: "64", lang: "tw", odd: "a b&c/d"};
        const lookup = (name) => (name in properties ? properties[name] : "");
        const cases = [
            ["http://h/${osbits}/p_${osbits}.zip", "http://h/64/p_64.zip"],
            ["http://h/?l=${lang}", "http://h/?l=tw"],
            ["${odd}", "a%20b%26c%2Fd"],
            ["${missing}x", "x"],
            ["$osbits {osbits} ${ osbits}", "$osbits {osbits} ${ osbits}"],
            ["", ""],
        ];
        for (const [template, expected] of cases) {
            assert.equal(scope.expandTokens(template, lookup), expected, template);
        }
    });

    test("the default package URL is the package folder plus the product file", () => {
        const cases = [
            ["http://h/tlw/B_64bit.zip", "B.zip", "http://h/tlw/B.zip"],
            ["http://h/tlw/B_64bit.zip?c=web#x", "B.zip", "http://h/tlw/B.zip"],
            ["http://h/a/b/", "B.zip", "http://h/a/b/B.zip"],
            ["http://h", "B.zip", "http://h/B.zip"],
            ["http://h?q=/x/", "B.zip", "http://h/B.zip"],
            ["http://h:8080/p.zip", "B.zip", "http://h:8080/B.zip"],
            ["http://h/tlw/B.zip", "", ""],
            ["", "B.zip", ""],
        ];
        for (const [url, name, expected] of cases) {
            assert.equal(scope.defaultPackageUrl(url, name), expected, url);
        }
    });

    test("packageUrls from the install parameters", () => {
        const lookup = (name) => ({osbits: "32"})[name] || "";
        assert.deepEqual(plain(scope.packageUrls(scope.flowTestParams, lookup)), {
            primary: "http://packages.test/tlw/Brightcast_32bit.zip?channel=web",
            fallback: "http://packages.test/tlw/Brightcast.zip",
        });
        assert.deepEqual(plain(scope.packageUrls({}, lookup)), {primary: "", fallback: ""});
        const shipped = loadScripts(["js/installparams.js"]).installParams;
        assert.deepEqual(plain(scope.packageUrls(shipped, (name) => ({osbits: "64"})[name])), {
            primary: "https://download.brightcast.example/tlw/Brightcast_Suite_64bit.zip",
            fallback: "https://download.brightcast.example/tlw/Brightcast_Suite.zip",
        });
    });

    test("environmentProblem", () => {
        const cases = [
            ["false", "6.1", ""],
            ["false", "10.0", ""],
            ["false", "6.2", ""],
            ["false", "7", ""],
            ["false", "6.0", "oldWindows"],
            ["false", "5.1", "oldWindows"],
            ["false", "6", "oldWindows"],
            ["false", "", "oldWindows"],
            ["false", "x", "oldWindows"],
            ["true", "10.0", "installed"],
            ["true", "5.1", "installed"],
            ["", "6.1", ""],
            ["TRUE", "6.1", ""],
        ];
        for (const [installed, version, expected] of cases) {
            assert.equal(scope.environmentProblem(installed, version), expected,
                         installed + " " + version);
        }
    });

    test("failure messages per step and code", () => {
        const cases = [
            ["download", 1, "errDownload"], ["download", 2, "errDownload"],
            ["download", 3, "errDiskFull"], ["download", 4, "errDownload"],
            ["download", 5, "errNoNetwork"], ["download", 6, "errDownload"],
            ["download", -1, "errDownload"], ["extract", 1, "errExtract"],
            ["extract", 2, "errDiskFull"], ["extract", 3, "errExtract"],
            ["install", 1, "errInstall"], ["install", 3, "errInstall"],
            ["stalled", 0, "errStalled"],
        ];
        for (const [phase, code, key] of cases) {
            assert.equal(scope.failureMessageKey(phase, code), key, phase + " " + code);
            assert.ok(english[key], key + " has an English text");
        }
    });

    test("callback results that are not whole numbers are failures", () => {
        const cases = [[0, 0], [4, 4], ["0", 0], [" 2 ", 2], [1.5, -1], [NaN, -1],
                       [undefined, -1], [null, -1], ["", -1], [true, -1]];
        for (const [value, expected] of cases) {
            assert.equal(scope.resultCode(value), expected, String(value));
        }
    });

    test("step and overall percentages", () => {
        const read = (values) => (name) => values[name];
        const cases = [
            ["download", {downloadTotal: "1", downloadCurrent: "0"}, 0],
            ["download", {downloadTotal: "200", downloadCurrent: "50"}, 25],
            ["download", {downloadTotal: "0", downloadCurrent: "50"}, 0],
            ["download", {downloadTotal: "100", downloadCurrent: "150"}, 100],
            ["download", {downloadTotal: "-5", downloadCurrent: "-1"}, 0],
            ["download", {downloadTotal: "2147483647", downloadCurrent: "2147483646"}, 99],
            ["download", {downloadTotal: "", downloadCurrent: ""}, 0],
            ["extract", {extractProgress: "37"}, 37],
            ["extract", {extractProgress: "abc"}, 0],
            ["install", {installProgress: "100"}, 100],
            ["install", {installProgress: "250"}, 100],
        ];
        for (const [phase, values, expected] of cases) {
            assert.equal(scope.phasePercent(phase, read(values)), expected, JSON.stringify(values));
        }
        const overall = [["download", 0, 0], ["download", 50, 30], ["download", 100, 60],
                         ["extract", 0, 60], ["extract", 100, 70], ["install", 0, 70],
                         ["install", 50, 85], ["install", 100, 100]];
        for (const [phase, percent, expected] of overall) {
            assert.equal(scope.overallPercent(phase, percent), expected, phase + " " + percent);
        }
    });
});

// A flow over the stand-in with a hand-driven view.
function harness(properties) {
    const external = createFakeExternal({properties: Object.assign(
        {}, scope.flowTestProperties, properties || {})});
    const view = new scope.ScriptedView(external);
    const flow = scope.createInstallFlow(external, view, scope.flowTestParams, english);
    const calls = () => external.testCallList().filter((line) => !line.startsWith("getProperty("));
    return {external, view, flow, calls};
}

test.describe("callbacks and timers", () => {
    test("a callback that comes twice counts once", () => {
        const {external, flow, calls} = harness();
        let callback;
        const download = external.download;
        external.download = (url, done) => {
            callback = done;
            download(url, () => {});
        };
        flow.start();
        callback(0);
        callback(0);
        assert.equal(flow.state, "extract");
        assert.deepEqual(calls().filter((c) => c === "extract()"), ["extract()"]);
    });

    test("the download's callback after the retry began is ignored", () => {
        const {external, flow, calls} = harness();
        const callbacks = [];
        const download = external.download;
        external.download = (url, done) => {
            callbacks.push(done);
            download(url, () => {});
        };
        flow.start();
        callbacks[0](2);
        callbacks[0](0); // the first download again: stale
        assert.equal(flow.state, "download");
        callbacks[1](0);
        assert.equal(flow.state, "extract");
    });

    test("a refused call fails the step instead of hanging", () => {
        const {external, flow, calls} = harness();
        external.extract = () => {
            throw new Error("refused");
        };
        flow.start();
        external.testComplete(0);
        assert.equal(flow.state, "failed");
        assert.deepEqual(calls().slice(-3), [
            `messageBox("${english.errExtract}", "${english.caption}")`, "closeWindow()",
            "finished failed"]);
    });

    test("a callback made during the call itself is handled once", () => {
        const {external, view, flow, calls} = harness();
        external.download = (url, done) => done(0);
        flow.start();
        assert.equal(flow.state, "extract");
        assert.equal(view.timers.length, 1, "one poll booked, for the extract step");
    });

    test("progress keeps the stall guard away", () => {
        const {external, view, flow} = harness();
        flow.start();
        const limit = scope.stallLimits.download;
        for (let elapsed = 0, bytes = 0; elapsed < 3 * limit; elapsed += limit / 2) {
            external.testSetProperty("downloadCurrent", String(bytes += 1000));
            view.advance(limit / 2);
        }
        assert.equal(flow.state, "download");
        view.advance(limit + scope.flowPollMs);
        assert.equal(flow.state, "failed");
    });

    test("the bar never goes back, not even when the retry starts over", () => {
        const {external, view, flow} = harness({downloadTotal: "100", downloadCurrent: "80"});
        flow.start();
        assert.equal(flow.percent, 48);
        external.testSetProperty("downloadCurrent", "0");
        external.testComplete(2);
        view.step();
        assert.equal(flow.percent, 48);
        assert.deepEqual(plain(view.progressLog), ["download 0", "download 48"]);
    });

    test("a host without timers drives the flow with tick()", () => {
        const external = createFakeExternal({properties: scope.flowTestProperties});
        const shown = [];
        const view = {
            progress: (state) => {
                const entry = state.phase + " " + state.percent;
                if (shown[shown.length - 1] !== entry) {
                    shown.push(entry);
                }
            },
            schedule: () => null,
            cancel: () => assert.fail("nothing to cancel"),
            navigate: (page) => external.testNote("navigate " + page),
            finished: (outcome) => external.testNote("finished " + outcome),
        };
        const flow = scope.createInstallFlow(external, view, scope.flowTestParams, english);
        flow.start();
        assert.equal(flow.isOver(), false);
        external.testSetProperty("downloadTotal", "10");
        external.testSetProperty("downloadCurrent", "5");
        flow.tick();
        external.testComplete(0);
        external.testComplete(0);
        external.testComplete(0);
        flow.tick(); // after the end: nothing more
        assert.deepEqual(shown, ["download 0", "download 30", "extract 60", "install 70",
                                 "install 100"]);
        assert.equal(flow.state, "completed");
        assert.equal(flow.isOver(), true);
    });

    test("start() runs once", () => {
        const {external, flow, calls} = harness();
        flow.start();
        flow.start();
        assert.deepEqual(calls(), ["setInstallStatus(2)",
            'download("http://packages.test/tlw/Brightcast_64bit.zip?channel=web")']);
    });

    test("the download view state carries the byte counts", () => {
        const {view, flow} = harness({downloadTotal: "3145728", downloadCurrent: "1048576"});
        const states = [];
        view.progress = (state) => states.push(plain(state));
        flow.start();
        assert.deepEqual(states[states.length - 1], {
            phase: "download", percent: 19, phasePercent: 33, current: 1048576, total: 3145728});
    });
});
