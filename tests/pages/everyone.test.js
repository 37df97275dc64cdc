// The pages for everyone, in the system's Chromium: every language driven
// from Load to Complete with key presses only, at 100, 150 and 200 % and in
// forced colours; at every page state an accessibility audit (axe-core) and a
// layout check (no text leaves its box or the window, nothing overlaps), and
// a picture. The pictures at 100 % make one contact sheet, pages by language.
//
// Environment: BC_CHROMIUM (default /usr/bin/chromium), BC_PAGES_SCREENSHOTS
// (the pictures' folder) and BC_CONTACT_SHEET (where the sheet goes; default
// contact-sheet.png in that folder).
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const os = require("os");
const path = require("path");
const url = require("url");
const {launchChromium, waitFor} = require("./chromium.js");
const {loadScripts, pagesDir} = require("./load_scripts.js");
const {layoutProblems} = require("./layout_check.js");

const shots = process.env.BC_PAGES_SCREENSHOTS ||
              fs.mkdtempSync(path.join(os.tmpdir(), "bc-pages-shots-"));
const sheetPath = process.env.BC_CONTACT_SHEET || path.join(shots, "contact-sheet.png");
const fakeSource = fs.readFileSync(path.join(__dirname, "fake_external.js"), "utf8");
const axeSource = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");

const table = loadScripts(["js/stubparams.js"]).stubParams;
const params = loadScripts(["js/installparams.js"]).installParams;
// The languages in the order the program lists them.
const languages = Array.from(params.LANG);
const words = (lang) => Object.assign({}, table.en, table[lang]);
const packageUrl = params.DOWNLOAD_URL.replace("${osbits}", "64");
const quote = (value) => JSON.stringify(value);
// A text as innerText shows it once blanks are folded (no-break ones too).
const folded = (value) => value.replace(/\s+/g, " ").trim();

const variants = [
    {name: "100", scale: 1, forced: false, audit: true},
    {name: "150", scale: 1.5, forced: false, audit: false},
    {name: "200", scale: 2, forced: false, audit: false},
    {name: "forced", scale: 1, forced: true, audit: true},
];
// The pages on the contact sheet, left to right.
const sheetPages = ["Welcome", "Agreement", "Installing", "Complete"];

const machine = {osbits: "64", tlwInstalled: "false", osVersion: "10.0", downloadTotal: "1",
                 downloadCurrent: "0", extractProgress: "0", installProgress: "0"};
const windowSize = {width: 647, height: 505};
const loadSize = {width: 400, height: 200};

let browser;
let userDataDir;
// Per language, the pages as the program leaves them: the language's own
// licence, where it has one, moved to Eula.html.
const pageDirs = {};
const auditCopy = "Agreement-audit.html";

test.before(async () => {
    fs.mkdirSync(shots, {recursive: true});
    userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), "bc-chromium-"));
    for (const lang of languages) {
        const dir = path.join(userDataDir, "pages-" + lang);
        fs.cpSync(pagesDir, dir, {recursive: true});
        const own = path.join(dir, `Eula-${lang}.html`);
        if (fs.existsSync(own)) {
            fs.renameSync(own, path.join(dir, "Eula.html"));
        }
        const agreement = fs.readFileSync(path.join(dir, "Agreement.html"), "utf8");
        const scripted = agreement.replace('sandbox="allow-same-origin"',
                                           'sandbox="allow-same-origin allow-scripts"');
        assert.notEqual(scripted, agreement);
        fs.writeFileSync(path.join(dir, auditCopy), scripted);
        pageDirs[lang] = dir;
    }
    // Every call into the browser ends: a hung one fails its test.
    browser = await launchChromium(userDataDir, ["--font-render-hinting=none"],
                                   {protocolTimeout: 60000});
});

test.after(async () => {
    if (browser) {
        await browser.close();
    }
    fs.rmSync(userDataDir, {recursive: true, force: true});
});


// A tab with the script stand-in, in `variant`'s scale and colours.
async function start(name, lang, variant, properties = {}) {
    const page = await browser.newPage();
    const size = name === "Load.html" ? loadSize : windowSize;
    await page.setViewport(Object.assign({deviceScaleFactor: variant.scale}, size));
    if (variant.forced) {
        // High contrast as Windows gives it; puppeteer has no name for it.
        const session = await page.createCDPSession();
        await session.send("Emulation.setEmulatedMedia",
                           {features: [{name: "forced-colors", value: "active"}]});
    }
    const errors = [];
    page.on("pageerror", (error) => errors.push(error.message));
    const setup = Object.assign({}, machine, {lang}, properties);
    await page.evaluateOnNewDocument(
        `${fakeSource}
         window.external = createFakeExternal({
             properties: ${JSON.stringify(setup)},
             onRecord: function (line) {
                 if (line.indexOf("getProperty(") !== 0) {
                     sessionStorage.setItem("bcCalls",
                         (sessionStorage.getItem("bcCalls") || "") + line + "\\n");
                 }
             }
         });`);
    await page.goto(url.pathToFileURL(path.join(pageDirs[lang], name)).href);
    const tab = {
        page, errors, lang, variant,
        at: () => path.basename(new URL(page.url()).pathname),
        until: (name) => waitFor(() => tab.at() === name, "page " + name),
        // Every call but getProperty, across the tab's pages.
        calls: async () => {
            const lines = await page.evaluate(() => sessionStorage.getItem("bcCalls") || "");
            return lines.split("\n").filter((line) => line);
        },
        sees: (line) => waitFor(async () => (await tab.calls()).includes(line), line),
        ready: () => page.waitForFunction(() => document.readyState === "complete" &&
                                          window.external && document.title !== ""),
        press: (key) => page.keyboard.press(key),
        focused: () => page.evaluate(() => {
            const e = document.activeElement;
            return e && e !== document.body ? e.id || e.tagName.toLowerCase() : "";
        }),
        close: async () => {
            await page.close();
            assert.deepEqual(errors, [], "no script errors");
        },
    };
    return tab;
}

// The accessibility audit of the document in `page`, with its frames when
// they run axe too.
async function auditPage(page, label, frames = false) {
    await page.evaluate(axeSource);
    const result = await page.evaluate((iframes) => window.axe.run(document, {
        iframes, frameWaitTime: 10000}), frames);
    const found = result.violations.map((violation) =>
        `${violation.id} (${violation.help}) at ` +
        violation.nodes.map((node) => node.target.join(" ")).join(", "));
    assert.deepEqual(found, [], `${label}: accessibility audit`);
}

// The licence page with the licence in its frame, audited as one page: axe
// runs in the frame too and judges both together. The licence's frame runs
// no script, so the audit uses a copy of the page whose frame may (the only
// difference, made in test.before).
async function auditLicence(tab) {
    const copy = await start(auditCopy, tab.lang, tab.variant);
    await copy.ready();
    const frame = copy.page.frames().find((f) => f.url().endsWith("/Eula.html"));
    await frame.waitForSelector("h2");
    await frame.evaluate(axeSource);
    await auditPage(copy.page, `the licence page with its licence in ${tab.lang}`, true);
    await copy.close();
}

// Layout, audit and picture of the state the tab is in.
async function inspect(tab, pageName) {
    const label = `${pageName} in ${tab.lang} at ${tab.variant.name}`;
    const problems = await tab.page.evaluate(layoutProblems);
    assert.deepEqual(problems, [], `${label}: layout`);
    if (tab.variant.audit) {
        await auditPage(tab.page, label);
    }
    const dir = path.join(shots, tab.variant.name);
    fs.mkdirSync(dir, {recursive: true});
    await tab.page.screenshot({path: path.join(dir, `${pageName}-${tab.lang}.png`)});
}

// Tab from the current focus until it comes back, as ids in order; the
// page's own controls only (a stop outside the page is left out).
async function tabCycle(tab) {
    const first = await tab.focused();
    const seen = [];
    for (let i = 0; i < 12; i++) {
        await tab.press("Tab");
        const id = await tab.focused();
        if (id && (id === first || id === seen[0])) {
            break;
        }
        if (id && seen[seen.length - 1] !== id) {
            seen.push(id);
        }
    }
    if (first) {
        seen.push(first);
    }
    return seen;
}

// Tabs to the control `id` (a bounded number of presses).
async function tabTo(tab, id) {
    for (let i = 0; i < 12 && (await tab.focused()) !== id; i++) {
        await tab.press("Tab");
    }
    assert.equal(await tab.focused(), id, `Tab reaches #${id}`);
}

// The focused control looks different from the unfocused one: a visible
// focus ring. Compared as pictures of the control and its surroundings.
async function showsFocus(tab, id) {
    const page = tab.page;
    await tabTo(tab, id);
    const box = await page.$eval("#" + id, (e) => {
        const r = e.getBoundingClientRect();
        return {x: r.left, y: r.top, width: r.width, height: r.height};
    });
    const clip = {x: Math.max(0, box.x - 5), y: Math.max(0, box.y - 5),
                  width: box.width + 10, height: box.height + 10};
    const focused = await page.screenshot({clip});
    const style = await page.$eval("#" + id, (e) => {
        const s = getComputedStyle(e);
        return {style: s.outlineStyle, width: parseFloat(s.outlineWidth)};
    });
    await page.$eval("#" + id, (e) => e.blur());
    const plain = await page.screenshot({clip});
    await page.$eval("#" + id, (e) => e.focus());
    assert.notEqual(style.style, "none", `#${id} has a focus ring in ${tab.lang}`);
    assert.ok(style.width >= 2, `#${id}: the ring is at least 2px wide`);
    assert.ok(!focused.equals(plain), `#${id}: the focus ring shows`);
}

// Steps of the install, completed by the test in place of the program.
async function completeStep(tab, code) {
    await waitFor(() => tab.page.evaluate(() => window.external.testPending() !== ""), "a step");
    await tab.page.evaluate((c) => window.external.testComplete(c), code);
}

async function setProperties(tab, values) {
    await tab.page.evaluate((v) => {
        for (const name in v) {
            window.external.testSetProperty(name, v[name]);
        }
    }, values);
}

const text = (tab, selector) =>
    tab.page.$eval(selector, (e) => e.innerText.replace(/\s+/g, " ").trim());

for (const variant of variants) {
    test.describe(`keyboard only, ${variant.name === "forced" ? "forced colours" :
                                     variant.name + " %"}`, () => {
        for (const lang of languages) {
            test(`${lang}: Load to Complete`, async () => {
                const t = words(lang);
                const tab = await start("Load.html", lang, variant);
                await tab.until("Welcome.html");
                // The program sizes the window as Load asks.
                assert.ok((await tab.calls()).includes("setWindowSize(647, 505)"));
                await tab.page.setViewport(Object.assign({deviceScaleFactor: variant.scale},
                                                         windowSize));
                await tab.ready();

                // Welcome: its own texts and language, Tab order, Escape, Enter.
                assert.equal(await tab.page.$eval("html", (h) => h.lang), t.languageTag);
                assert.equal(await tab.page.title(), t.caption);
                assert.equal(await text(tab, "#heading"), folded(t.welcomeTitle));
                assert.equal(await text(tab, "p.note"), folded(t.welcomeNote));
                assert.equal(await tab.focused(), "next", "the default button has the focus");
                assert.deepEqual(await tabCycle(tab), ["close", "cancel", "next"]);
                for (const id of ["close", "cancel", "next"]) {
                    await showsFocus(tab, id);
                }
                await inspect(tab, "Welcome");
                await tab.press("Escape");
                await tab.sees("closeWindow()");
                assert.equal(tab.at(), "Welcome.html");
                await tab.press("Enter");
                await tab.until("Agreement.html");
                await tab.ready();

                // Agreement: the licence frame is a Tab stop and scrolls by keys.
                assert.equal(await text(tab, "#next"), folded(t.accept));
                assert.equal(await tab.page.$eval("#eula", (e) => e.title), t.agreementTitle);
                assert.equal(await tab.focused(), "next");
                assert.deepEqual(await tabCycle(tab), ["close", "eula", "cancel", "next"]);
                await inspect(tab, "Agreement");
                if (variant.audit) {
                    await auditLicence(tab);
                }
                const frame = tab.page.frames().find((f) => f.url().endsWith("/Eula.html"));
                const scroll = () => frame.evaluate(() => document.scrollingElement.scrollTop);
                await showsFocus(tab, "eula");
                const room = await frame.evaluate(() => document.scrollingElement.scrollHeight -
                                                        document.scrollingElement.clientHeight);
                await tab.press("PageDown");
                if (room > 0) {
                    await waitFor(async () => (await scroll()) > 0, "the licence scrolls");
                }
                await tabTo(tab, "next");
                await tab.press("Escape");
                assert.equal((await tab.calls()).filter((l) => l === "closeWindow()").length, 2,
                             "Escape cancels the licence page too");
                await tab.press("Enter");
                await tab.until("Installing.html");
                await tab.ready();

                // Installing: the bar speaks its value; minimise is a Tab stop.
                await tab.sees(`download(${quote(packageUrl)})`);
                await setProperties(tab, {downloadTotal: String(150 * 1048576),
                                          downloadCurrent: String(63 * 1048576)});
                await waitFor(() => tab.page.$eval("#progress",
                    (e) => e.getAttribute("aria-valuenow") === "25"), "the bar at 25 %");
                const unit = "\u00a0" + t.sizeUnit;
                assert.equal(await tab.page.$eval("#detail", (e) => e.textContent),
                             t.downloadDetail.replace("{0}", `63${t.decimalPoint}0${unit}`)
                                 .replace("{1}", `150${t.decimalPoint}0${unit}`));
                assert.equal(await text(tab, "#phase"), folded(t.phaseDownload));
                assert.equal(await tab.page.$eval("#step-download",
                                                  (e) => e.getAttribute("aria-current")), "step");
                // The Tab stops (the cycle starts wherever the focus is).
                assert.deepEqual((await tabCycle(tab)).sort(), ["cancel", "minimise"]);
                for (const id of ["minimise", "cancel"]) {
                    await showsFocus(tab, id);
                }
                await inspect(tab, "Installing-download");
                // Escape asks whether to stop; Escape again keeps going.
                const question = () => text(tab, "#confirm-text");
                await tab.press("Escape");
                assert.equal(await question(), folded(t.cancelConfirm));
                assert.equal(await tab.focused(), "keep-going");
                await showsFocus(tab, "stop");
                await inspect(tab, "Installing-cancel");
                await tab.press("Escape");
                assert.equal(await tab.focused(), "cancel");
                await tabTo(tab, "minimise");
                await tab.press("Enter");
                await tab.sees("hideWindow()");
                // Setup will ask for a restart: the Complete page says so.
                await setProperties(tab, {restartRequired: "true"});
                await completeStep(tab, 0);
                await completeStep(tab, 0);
                await tab.sees(`install(${quote(params.EXE_PARAMETERS)})`);
                // While setup runs, Cancel says it finishes by itself.
                await tab.press("Escape");
                assert.equal(await question(), folded(t.cancelSetupRuns));
                assert.equal(await text(tab, "#stop"), folded(t.close));
                await inspect(tab, "Installing");
                await tab.press("Escape");
                await completeStep(tab, 0);
                await tab.until("Complete.html");
                await tab.ready();

                // Complete: Space ticks the box, Enter finishes from anywhere.
                assert.equal(await text(tab, "#heading"), folded(t.completeTitle));
                assert.equal(await text(tab, "#restart-note"), folded(t.restartNote));
                assert.equal(await tab.focused(), "finish");
                assert.deepEqual(await tabCycle(tab), ["close", "start-now", "finish"]);
                for (const id of ["close", "start-now", "finish"]) {
                    await showsFocus(tab, id);
                }
                await inspect(tab, "Complete");
                const before = (await tab.calls()).length;
                await tab.press("Escape");
                assert.equal((await tab.calls()).length, before, "Escape does nothing here");
                await tabTo(tab, "start-now");
                await tab.press("Space");
                assert.equal(await tab.page.$eval("#start-now", (e) => e.checked), false);
                await tab.press("Space");
                assert.equal(await tab.page.$eval("#start-now", (e) => e.checked), true);
                await tab.press("Enter");
                await tab.sees("closeWindow()");
                const thanks = params.TYP_URL.replace("${lang}", lang);
                assert.deepEqual((await tab.calls()).slice(-3), [
                    "startInstallProgram(\"\")", `openPage(${quote(thanks)})`, "closeWindow()"]);
                await tab.close();
            });

            test(`${lang}: Load refuses in its own words`, async () => {
                const t = words(lang);
                const tab = await start("Load.html", lang, variant, {tlwInstalled: "true"});
                await tab.sees("closeWindow()");
                assert.deepEqual(await tab.calls(), [
                    `messageBox(${quote(t.errInstalled)}, ${quote(t.caption)})`,
                    "setInstallStatus(4)", "closeWindow()"]);
                assert.equal(await text(tab, "#loading"), folded(t.loading));
                await inspect(tab, "Load");
                await tab.close();
            });
        }
    });
}

// The layout check itself: quiet on the page as it is, and it names what a
// too long text does to it.
test("the layout check finds text out of its box, overlaps and cut-off content", async () => {
    const tab = await start("Welcome.html", "en", variants[0]);
    await tab.ready();
    assert.deepEqual(await tab.page.evaluate(layoutProblems), []);
    const long = (n) => "Brightcast Suite Setup ".repeat(n);
    const cases = [
        [".title", long(6), /span\.title .* sticks out of #titlebar/],
        [".title", long(6), /span\.title .* overlaps #close/],
        ["#next", long(4), /#next .* leaves the window/],
        ["#heading", "Installationsdateienverwaltungsprogrammbeschreibung", /#heading .* sticks out/],
        ["[data-text=welcomeText]", long(60), /cuts off its content/],
    ];
    for (const [selector, value, expected] of cases) {
        await tab.page.reload();
        await tab.ready();
        await tab.page.$eval(selector, (e, v) => {
            e.textContent = v;
        }, value);
        const problems = await tab.page.evaluate(layoutProblems);
        assert.ok(problems.some((line) => expected.test(line)),
                  `${selector}: ${expected} in ${JSON.stringify(problems)}`);
    }
    await tab.close();
});

// One picture of the pages by language, from the pictures at 100 %.
test("contact sheet", async () => {
    const dir = path.join(shots, "100");
    const rows = [];
    for (const lang of languages) {
        const cells = sheetPages.map((name) => {
            const file = path.join(dir, `${name}-${lang}.png`);
            assert.ok(fs.existsSync(file), file);
            const data = fs.readFileSync(file).toString("base64");
            return `<td><img src="data:image/png;base64,${data}" alt=""></td>`;
        });
        rows.push(`<tr><th>${words(lang).languageTag}</th>${cells.join("")}</tr>`);
    }
    const heads = sheetPages.map((name) => `<th>${name}</th>`).join("");
    const html = `<!DOCTYPE html><html><head><style>
        body { margin: 0; padding: 8px; background: #fff; font: 13px sans-serif; }
        table { border-collapse: collapse; }
        th { padding: 2px 6px; color: #333; }
        td { padding: 3px; }
        img { display: block; width: 216px; height: 169px; border: 1px solid #ccc; }
        </style></head><body><table><tr><th></th>${heads}</tr>${rows.join("")}</table></body></html>`;
    const page = await browser.newPage();
    await page.setViewport({width: 940, height: 600, deviceScaleFactor: 1});
    await page.setContent(html);
    const size = await page.evaluate(() => ({width: document.body.scrollWidth,
                                             height: document.body.scrollHeight}));
    fs.mkdirSync(path.dirname(sheetPath), {recursive: true});
    await page.screenshot({path: sheetPath, clip: {x: 0, y: 0, width: size.width,
                                                   height: size.height}});
    await page.close();
    const png = fs.readFileSync(sheetPath);
    assert.equal(png.readUInt32BE(16), size.width);
    assert.ok(png.length < 1024 * 1024, `the sheet is small (${png.length} bytes)`);
});
