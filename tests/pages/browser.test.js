// The pages in a real browser: the system's Chromium, headless, driven by
// puppeteer-core. A scripted stand-in for window.external (fake_external.js)
// is put into every document before the page's own scripts run; the calls
// it records reach this process even while the pages navigate.
//
// Environment: BC_CHROMIUM (default /usr/bin/chromium) and
// BC_PAGES_SCREENSHOTS, the folder that gets a picture of every page.
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const os = require("os");
const path = require("path");
const url = require("url");
const {launchChromium, waitFor} = require("./chromium.js");
const {loadScripts, pagesDir} = require("./load_scripts.js");

const shots = process.env.BC_PAGES_SCREENSHOTS ||
              fs.mkdtempSync(path.join(os.tmpdir(), "bc-pages-shots-"));
const fakeSource = fs.readFileSync(path.join(__dirname, "fake_external.js"), "utf8");

const texts = loadScripts(["js/stubparams.js"]).stubParams;
const en = Object.assign({}, texts.en);
const de = Object.assign({}, texts.en, texts.de);
const fr = Object.assign({}, texts.en, texts.fr);
const params = loadScripts(["js/installparams.js"]).installParams;
const packageUrl64 = params.DOWNLOAD_URL.replace("${osbits}", "64");
const fallbackUrl = packageUrl64.replace(/[^/]*$/, params.PRODUCT_FILE_NAME);

const machine = {lang: "en", osbits: "64", tlwInstalled: "false", osVersion: "6.1",
                 downloadTotal: "1", downloadCurrent: "0", extractProgress: "0",
                 installProgress: "0"};

let browser;
let userDataDir;

test.before(async () => {
    fs.mkdirSync(shots, {recursive: true});
    userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), "bc-chromium-"));
    browser = await launchChromium(userDataDir);
});

test.after(async () => {
    if (browser) {
        await browser.close();
    }
    fs.rmSync(userDataDir, {recursive: true, force: true});
});


// Opens `name` with the stand-in answering `properties` and `answers`.
async function open(name, options = {}) {
    const page = await browser.newPage();
    // The window's size: Load.html starts in the program's first, small one.
    await page.setViewport(name === "Load.html" ? {width: 400, height: 200}
                                                : {width: 647, height: 505});
    const calls = [];
    const errors = [];
    page.on("pageerror", (error) => errors.push(error.message));
    await page.exposeFunction("bcRecordCall", (line) => {
        calls.push(line);
    });
    const setup = {properties: Object.assign({}, machine, options.properties || {}),
                   answers: options.answers || []};
    await page.evaluateOnNewDocument(
        `${fakeSource}
         window.external = createFakeExternal({
             properties: ${JSON.stringify(setup.properties)},
             answers: ${JSON.stringify(setup.answers)},
             onRecord: function (line) {
                 // Also kept in the tab's session storage: a call made while
                 // the page unloads never reaches the binding.
                 sessionStorage.setItem("bcCalls",
                                        (sessionStorage.getItem("bcCalls") || "") + line + "\\n");
                 window.bcRecordCall(line);
             }
         });`);
    await page.goto(url.pathToFileURL(path.join(options.dir || pagesDir, name)).href);
    const session = {
        page, calls, errors,
        // The calls other than getProperty, in order.
        actions: () => calls.filter((line) => !line.startsWith("getProperty(")),
        at: () => path.basename(new URL(page.url()).pathname),
        until: (page) => waitFor(() => session.at() === page, "page " + page),
        sees: (line) => waitFor(() => calls.includes(line), line),
        // Every call of this tab, those made during an unload included.
        stored: async () => {
            const lines = await page.evaluate(() => sessionStorage.getItem("bcCalls") || "");
            return lines.split("\n").filter((line) => line && !line.startsWith("getProperty("));
        },
        stub: (script, ...args) => page.evaluate(script, ...args),
        close: async () => {
            await page.close();
            assert.deepEqual(errors, [], "no script errors");
        },
    };
    return session;
}

const text = (page, selector) =>
    page.$eval(selector, (element) => element.innerText.replace(/\s+/g, " ").trim());
const quote = (value) => JSON.stringify(value);

async function shoot(session, file) {
    await session.page.screenshot({path: path.join(shots, file)});
}

test.describe("Load.html", () => {
    test("a supported machine: status 0, window size, channel, then Welcome", async () => {
        const s = await open("Load.html");
        await s.until("Welcome.html");
        const beforeWelcome = s.calls.slice(0, s.calls.indexOf("setChannel(\"web\")") + 1);
        assert.deepEqual(beforeWelcome.filter((line) => line.startsWith("getProperty(\"tl") ||
                                                  line.startsWith("getProperty(\"os")),
                         ["getProperty(\"tlwInstalled\")", "getProperty(\"osVersion\")"]);
        assert.deepEqual(beforeWelcome.filter((line) => !line.startsWith("getProperty(")),
                         ["setInstallStatus(0)", "setWindowSize(647, 505)", "setChannel(\"web\")"]);
        await s.close();
    });

    const refusals = [
        ["the product is installed", {tlwInstalled: "true", osVersion: "10.0"}, en.errInstalled, en],
        ["Windows Vista", {osVersion: "6.0"}, en.errOldWindows, en],
        ["Windows XP, in German", {osVersion: "5.1", lang: "de"}, de.errOldWindows, de],
    ];
    for (const [label, properties, message, lang] of refusals) {
        test(`refuses: ${label}`, async () => {
            const s = await open("Load.html", {properties});
            await s.sees("closeWindow()");
            assert.deepEqual(s.actions(), [
                `messageBox(${quote(message)}, ${quote(lang.caption)})`, "setInstallStatus(4)",
                "closeWindow()"]);
            assert.equal(s.at(), "Load.html");
            if (label.startsWith("Windows XP")) {
                await shoot(s, "Load.png");
            }
            await s.close();
        });
    }
});

test.describe("Welcome.html", () => {
    for (const [lang, words] of [["en", en], ["de", de], ["fr", Object.assign({}, en, texts.fr)]]) {
        test(`texts in ${lang}`, async () => {
            const s = await open("Welcome.html", {properties: {lang}});
            assert.equal(await text(s.page, "#heading"), words.welcomeTitle);
            assert.equal(await text(s.page, "#next"), words.next);
            assert.equal(await text(s.page, "#cancel"), words.cancel);
            assert.equal(await s.page.title(), words.caption);
            await shoot(s, lang === "en" ? "Welcome.png" : `Welcome-${lang}.png`);
            await s.close();
        });
    }

    test("Japanese and Chinese have their own texts; an unknown language gets English", async () => {
        const cases = [["jp", texts.jp, "ja"], ["tw", texts.tw, "zh-TW"], ["sv", en, "en"],
                       ["", en, "en"]];
        for (const [lang, words, tag] of cases) {
            const s = await open("Welcome.html", {properties: {lang}});
            assert.equal(await text(s.page, "#heading"), words.welcomeTitle, lang);
            assert.equal(await text(s.page, "p[data-text=welcomeText]"), words.welcomeText, lang);
            assert.equal(await s.page.$eval("html", (h) => h.lang), tag, lang);
            await s.close();
        }
    });

    test("the title bar drags the window, its close button does not", async () => {
        const s = await open("Welcome.html");
        await s.page.mouse.move(300, 20);
        await s.page.mouse.down();
        await s.page.mouse.up();
        await s.sees("dragWindow()");
        await s.page.mouse.move(300, 200);
        await s.page.mouse.down();
        await s.page.mouse.up();
        await s.page.mouse.move(623, 20);
        await s.page.mouse.down();
        await s.page.mouse.up();
        await s.sees("closeWindow()");
        assert.deepEqual(s.actions(), ["dragWindow()", "closeWindow()"]);
        await s.close();
    });

    test("cancel closes, next goes to the licence", async () => {
        const s = await open("Welcome.html");
        await s.page.click("#cancel");
        await s.sees("closeWindow()");
        assert.equal(s.at(), "Welcome.html");
        await s.page.click("#next");
        await s.until("Agreement.html");
        assert.deepEqual(s.actions(), ["closeWindow()"]);
        await s.close();
    });
});

test.describe("Agreement.html", () => {
    test("shows Eula.html in its frame; cancel closes, accept goes on", async () => {
        const s = await open("Agreement.html");
        const frame = s.page.frames().find((f) => f.url().endsWith("/Eula.html"));
        assert.ok(frame, "the licence frame");
        await frame.waitForSelector("h2");
        assert.match(await frame.$eval("h2", (h) => h.innerText), /licence agreement/i);
        assert.equal(await text(s.page, "#next"), en.accept);
        await shoot(s, "Agreement.png");
        await s.page.mouse.move(200, 20);
        await s.page.mouse.down();
        await s.page.mouse.up();
        await s.page.click("#cancel");
        await s.sees("closeWindow()");
        await s.page.click("#next");
        await s.until("Installing.html");
        assert.deepEqual(s.actions().slice(0, 2), ["dragWindow()", "closeWindow()"]);
        await s.close();
    });
});

test.describe("Agreement.html with a hostile licence", () => {
    // The licence may come from the network and replaces Eula.html next to
    // the pages; its own markup must not reach the script object.
    test("script in the licence does not run", async () => {
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), "bc-pages-eula-"));
        try {
            fs.cpSync(pagesDir, dir, {recursive: true});
            fs.writeFileSync(path.join(dir, "Eula.html"),
                             `<!DOCTYPE html>
<html class="page-eula" lang="en">
<head><link rel="stylesheet" type="text/css" href="css/style.css"></head>
<body><h2>Hostile licence</h2>
<script>
try { window.external.openPage("http://attacker.test/own"); } catch (e) {}
try { parent.installer.openPage("http://attacker.test/parent"); } catch (e) {}
try { top.installer.startInstallProgram("/attacker"); } catch (e) {}
document.title = "ran";
</script></body></html>`);
            const s = await open("Agreement.html", {dir});
            const frame = s.page.frames().find((f) => f.url().endsWith("/Eula.html"));
            assert.ok(frame, "the licence frame");
            await frame.waitForSelector("h2");
            assert.equal(await frame.$eval("h2", (h) => h.innerText), "Hostile licence");
            // The licence still gets the pages' style sheet.
            assert.equal(await frame.$eval("h2", (h) => getComputedStyle(h).fontSize), "15px");
            assert.deepEqual(s.actions(), []);
            assert.notEqual(await frame.evaluate(() => document.title), "ran");
            await s.close();
        } finally {
            fs.rmSync(dir, {recursive: true, force: true});
        }
    });
});

test.describe("Installing.html", () => {
    // Completes the oldest pending operation in the page with `code`.
    const complete = (s, code) => s.stub((c) => window.external.testComplete(c), code);
    const set = (s, values) => s.stub((v) => {
        for (const name in v) {
            window.external.testSetProperty(name, v[name]);
        }
    }, values);
    const bar = (s) => s.page.$eval("#progress", (e) => Number(e.getAttribute("aria-valuenow")));
    const width = (s) => s.page.$eval("#bar", (e) => e.style.width);
    const showsPercent = (s, percent) =>
        waitFor(async () => (await bar(s)) === percent, `bar at ${percent}%`);

    test("success: download, extract, install, progress, then Complete", async () => {
        const s = await open("Installing.html");
        await s.sees(`download(${quote(packageUrl64)})`);
        assert.deepEqual(s.actions(), ["disableCloseWindow(true)", "setInstallStatus(2)",
                                       `download(${quote(packageUrl64)})`]);
        assert.equal(await text(s.page, "#phase"), en.phaseDownload);

        await set(s, {downloadTotal: String(150 * 1048576), downloadCurrent: String(63 * 1048576)});
        await showsPercent(s, 25);
        assert.equal(await width(s), "25%");
        assert.equal(await text(s.page, "#detail"), "63.0 MB of 150.0 MB");
        assert.equal(await text(s.page, "#percent"), "25%");
        await shoot(s, "Installing.png");

        await complete(s, 0);
        await s.sees("extract()");
        await set(s, {extractProgress: "50"});
        await showsPercent(s, 65);
        assert.equal(await text(s.page, "#phase"), en.phaseExtract);
        assert.equal(await text(s.page, "#detail"), "");
        assert.equal(await s.page.$eval("#step-download", (e) => e.className), "step done");

        await complete(s, 0);
        await s.sees(`install(${quote(params.EXE_PARAMETERS)})`);
        await set(s, {installProgress: "40"});
        await showsPercent(s, 82);
        assert.equal(await text(s.page, "#phase"), en.phaseInstall);
        assert.equal(await s.page.$eval("#step-install", (e) => e.className), "step active");

        await complete(s, 0);
        await s.until("Complete.html");
        await s.page.waitForSelector("#finish");
        assert.deepEqual(await s.stored(), [
            "disableCloseWindow(true)", "setInstallStatus(2)", `download(${quote(packageUrl64)})`,
            "extract()", `install(${quote(params.EXE_PARAMETERS)})`, "setInstallStatus(1)",
            "disableCloseWindow(false)"]);
        await s.close();
    });

    test("the bar never runs backwards when the default URL starts over", async () => {
        const s = await open("Installing.html", {properties: {osbits: "32",
            downloadTotal: "1000", downloadCurrent: "500"}});
        await showsPercent(s, 30);
        await set(s, {downloadCurrent: "0"});
        await complete(s, 2);
        await s.sees(`download(${quote(fallbackUrl)})`);
        await new Promise((resolve) => setTimeout(resolve, 700));
        assert.equal(await bar(s), 30);
        assert.deepEqual(s.actions().slice(1, 4), ["setInstallStatus(2)",
            `download(${quote(params.DOWNLOAD_URL.replace("${osbits}", "32"))})`,
            `download(${quote(fallbackUrl)})`]);
        await s.close();
    });

    const failures = [
        ["disk full while downloading", [3], [], en, "errDiskFull"],
        ["no network", [5], [], en, "errNoNetwork"],
        ["not found, also at the default URL", [2, 2], [], en, "errDownload"],
        ["a package without setup", [0, 3], [], en, "errExtract"],
        ["setup failed, in German", [0, 0, 1], [], de, "errInstall"],
    ];
    for (const [label, codes, answers, lang, key] of failures) {
        test(`failure: ${label}`, async () => {
            const s = await open("Installing.html",
                                 {properties: {lang: lang === de ? "de" : "en"}, answers});
            for (const code of codes) {
                await waitFor(() => s.stub(() => window.external.testPending() !== ""), "a step");
                await complete(s, code);
            }
            await s.sees("closeWindow()");
            const actions = s.actions();
            assert.deepEqual(actions.slice(-2), [
                `messageBox(${quote(lang[key])}, ${quote(lang.caption)})`, "closeWindow()"]);
            assert.ok(!actions.some((line) => /setInstallStatus\([134]\)/.test(line)),
                      "the status stays 2 (error)");
            await s.close();
        });
    }

    test("a busy installer: retry, then give up with status 3", async () => {
        const s = await open("Installing.html", {answers: [true, false]});
        for (const code of [0, 0, 4, 4]) {
            await waitFor(() => s.stub(() => window.external.testPending() !== ""), "a step");
            await complete(s, code);
        }
        await s.sees("closeWindow()");
        const install = `install(${quote(params.EXE_PARAMETERS)})`;
        const retry = `retryMessageBox(${quote(en.retryInstall)})`;
        assert.deepEqual(s.actions().slice(3), ["extract()", install, retry, install, retry,
                                                "setInstallStatus(3)", "closeWindow()"]);
        await s.close();
    });

    // The footer's question, or "" while none is asked.
    const question = (s) => s.page.$eval("#confirm-text",
                                         (e) => e.offsetHeight > 0 ? e.innerText.trim() : "");
    const shown = (s, id) => s.page.$eval(`#${id}`, (e) => e.offsetHeight > 0);

    test("cancel asks first; continue keeps going, stop ends with status 3 and closes",
         async () => {
        const s = await open("Installing.html", {properties: {lang: "fr"}});
        await s.sees(`download(${quote(packageUrl64)})`);
        assert.equal(await question(s), "");
        await s.page.click("#cancel");
        assert.equal(await question(s), fr.cancelConfirm);
        assert.equal(await text(s.page, "#stop"), fr.stop);
        assert.ok(!(await shown(s, "cancel")));
        await shoot(s, "Installing-cancel.png");
        // Continue: nothing happened, the download goes on.
        await s.page.click("#keep-going");
        assert.equal(await question(s), "");
        assert.ok(await shown(s, "cancel"));
        await complete(s, 0);
        await s.sees("extract()");
        // Escape asks too; then stop.
        await s.page.keyboard.press("Escape");
        assert.equal(await question(s), fr.cancelConfirm);
        await s.page.click("#stop");
        await s.sees("closeWindow()");
        assert.deepEqual(s.actions().slice(-3), ["extract()", "setInstallStatus(3)",
                                                 "closeWindow()"]);
        // The unzip's late answer changes nothing any more.
        await complete(s, 0);
        await new Promise((resolve) => setTimeout(resolve, 300));
        assert.ok(!s.actions().some((line) => line.startsWith("install(")));
        await s.close();
    });

    test("while setup runs, cancel says setup finishes by itself and only closes", async () => {
        const s = await open("Installing.html");
        for (const code of [0, 0]) {
            await waitFor(() => s.stub(() => window.external.testPending() !== ""), "a step");
            await complete(s, code);
        }
        await s.sees(`install(${quote(params.EXE_PARAMETERS)})`);
        await s.page.click("#cancel");
        assert.equal(await question(s), en.cancelSetupRuns);
        assert.equal(await text(s.page, "#stop"), en.close);
        await s.page.keyboard.press("Escape");
        assert.equal(await question(s), "", "Escape keeps going");
        await s.page.click("#cancel");
        await s.page.click("#stop");
        await s.sees("closeWindow()");
        assert.deepEqual(s.actions().slice(-2), ["setInstallStatus(3)", "closeWindow()"]);
        await s.close();
    });

    test("minimise hides the window; no close button while installing", async () => {
        const s = await open("Installing.html", {properties: {lang: "de"}});
        assert.equal(await s.page.$("#close"), null);
        assert.equal(await text(s.page, "#phase"), de.phaseDownload);
        await s.page.click("#minimise");
        await s.sees("hideWindow()");
        await s.close();
    });
});

test.describe("Complete.html", () => {
    const thanks = params.TYP_URL.replace("${lang}", "en");

    test("finish starts the program, opens the thank-you page and closes", async () => {
        const s = await open("Complete.html");
        await shoot(s, "Complete.png");
        await s.page.click("#finish");
        await s.page.click("#finish");
        await s.sees("closeWindow()");
        assert.deepEqual(s.actions(), ["startInstallProgram(\"\")",
                                       `openPage(${quote(thanks)})`, "closeWindow()"]);
        await s.close();
    });

    test("without the box ticked the program is not started", async () => {
        const s = await open("Complete.html", {properties: {lang: "fr"}});
        await s.page.click("#start-now");
        await s.page.click("#finish");
        await s.sees("closeWindow()");
        assert.deepEqual(s.actions(), [`openPage(${quote(params.TYP_URL.replace("${lang}", "fr"))})`,
                                       "closeWindow()"]);
        await s.close();
    });

    test("a restart that setup asks for is said on the page, and only then", async () => {
        for (const restart of ["true", "false", ""]) {
            const s = await open("Complete.html", {properties: {restartRequired: restart}});
            const shown = await s.page.$eval("#restart-note", (e) => e.offsetHeight > 0 ?
                                                                        e.innerText.trim() : "");
            assert.equal(shown, restart === "true" ? texts.en.restartNote : "", restart);
            await s.close();
        }
    });

    test("the title bar's close button only closes", async () => {
        const s = await open("Complete.html");
        await s.page.click("#close");
        await s.sees("closeWindow()");
        assert.deepEqual(s.actions(), ["closeWindow()"]);
        await s.close();
    });
});
