// The page set as files: what must be there, what each page declares, what
// it may not use, and the texts and parameters the pages and the program
// read. Behaviour is checked in Chromium (browser.test.js) and the syntax
// by the platform's own JScript (the Wine test).
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("fs");
const path = require("path");
const {loadScripts, pagesDir} = require("./load_scripts.js");

const plain = (value) => JSON.parse(JSON.stringify(value));
const read = (name) => fs.readFileSync(path.join(pagesDir, name), "utf8");

// The program's thirteen languages, as its language table names them.
const languages = ["en", "fr", "de", "it", "jp", "es", "pt", "nl", "ko", "ru", "cs", "zh", "tw"];
// The languages with a licence of their own; the others show Eula.html.
const licenceLanguages = ["fr", "de", "it", "jp", "nl", "tw"];
const pages = ["Load.html", "Welcome.html", "Agreement.html", "Installing.html", "Complete.html"];
const licences = ["Eula.html"].concat(licenceLanguages.map((code) => `Eula-${code}.html`));
const scripts = ["js/installparams.js", "js/stubparams.js", "js/external.js", "js/flow.js",
                 "js/pages.js"];

function allFiles(dir, prefix = "") {
    const found = [];
    for (const entry of fs.readdirSync(dir, {withFileTypes: true})) {
        const name = prefix + entry.name;
        if (entry.isDirectory()) {
            found.push(...allFiles(path.join(dir, entry.name), name + "/"));
        } else {
            found.push(name);
        }
    }
    return found.sort();
}

// The inline scripts of a page, and the files it refers to.
function inlineScripts(html) {
    const found = [];
    const pattern = /<script\b([^>]*)>([\s\S]*?)<\/script\s*>/gi;
    for (let match; (match = pattern.exec(html));) {
        if (!/\bsrc\s*=/i.test(match[1])) {
            found.push(match[2]);
        }
    }
    return found;
}

function references(text) {
    const found = [];
    const pattern = /\b(?:src|href)\s*=\s*"([^"]*)"|url\(\s*['"]?([^'")]+)['"]?\s*\)/gi;
    for (let match; (match = pattern.exec(text));) {
        found.push(match[1] !== undefined ? match[1] : match[2]);
    }
    return found;
}

// Comments out of the way (block comments, and line comments on their own
// lines: the pages' style) so that prose about what not to use is not used.
function code(text) {
    return text.replace(/\/\*[\s\S]*?\*\//g, "").replace(/^\s*\/\/.*$/gm, "");
}

// Script features that the platform's older engines and documents lack.
const unsupported = [
    [/\.(forEach|map|filter|reduce|reduceRight|some|every)\s*\(/, "Array extras"],
    [/\bArray\.isArray\b/, "Array.isArray"],
    [/\bObject\.(keys|create|defineProperty|defineProperties|freeze|getPrototypeOf)\b/,
     "ES5 Object functions"],
    [/\bJSON\b/, "JSON"],
    [/\bDate\.now\b/, "Date.now"],
    [/\.trim\s*\(/, "String trim"],
    [/\.bind\s*\(/, "Function bind"],
    [/\baddEventListener\b/, "addEventListener"],
    [/\btextContent\b/, "textContent"],
    [/\bclassList\b/, "classList"],
    [/\bgetElementsByClassName\b/, "getElementsByClassName"],
    [/\bquerySelector(All)?\b/, "querySelector"],
    [/\b(let|const|class)\s+[A-Za-z_$]/, "let/const/class"],
    [/=>/, "arrow functions"],
    [/`/, "template literals"],
];

// The program's own reading of the language list: the first quoted "LANG",
// one character on, quoted texts up to the first "]".
function nativeLanguageList(text) {
    const key = text.indexOf('"LANG"');
    if (key < 0) {
        return [];
    }
    const list = [];
    let inString = false;
    let start = 0;
    for (let i = key + 7; i < text.length && text[i] !== "]"; i++) {
        if (text[i] === '"') {
            if (inString) {
                list.push(text.substring(start, i));
            } else {
                start = i + 1;
            }
            inString = !inString;
        }
    }
    return list;
}

test("the page set has every page, licence and script", () => {
    const files = allFiles(pagesDir);
    for (const name of pages.concat(licences, scripts)) {
        assert.ok(files.includes(name), name);
    }
    assert.equal(files.filter((name) => name.endsWith(".css")).length, 1, "one style sheet");
    for (const name of files) {
        assert.match(name, /^[A-Za-z0-9_\-/]+\.(html|js|css|png|gif|jpg)$/, name);
    }
});

test.describe("every HTML file", () => {
    for (const name of pages.concat(licences)) {
        test(name, () => {
            const html = read(name);
            assert.match(html, /^<!DOCTYPE html>\r?\n/, "standards mode");
            const head = /<head>([\s\S]*?)<\/head>/i.exec(html)[1];
            assert.match(head.trim(), /^<meta http-equiv="X-UA-Compatible" content="IE=edge">/,
                         "the document mode comes first in the head");
            assert.match(head, /<meta http-equiv="Content-Type" content="text\/html; charset=utf-8">/);
            assert.doesNotMatch(html, /<svg|\.svg\b|@font-face|<object|<embed/i);
            assert.doesNotMatch(html, /\son[a-z]+\s*=/i, "handlers are bound by script");
            for (const ref of references(html)) {
                assert.doesNotMatch(ref, /^[a-z]+:/i, `${ref}: nothing from outside the set`);
                assert.ok(fs.existsSync(path.join(pagesDir, ref)), `${ref} exists`);
            }
        });
    }
});

test("the pages load the scripts in order and start themselves", () => {
    const starts = {"Load.html": "startLoadPage", "Welcome.html": "startWelcomePage",
                    "Agreement.html": "startAgreementPage",
                    "Installing.html": "startInstallingPage",
                    "Complete.html": "startCompletePage"};
    for (const name of pages) {
        const html = read(name);
        const sources = [];
        for (const match of html.matchAll(/<script [^>]*src="([^"]+)"/g)) {
            sources.push(match[1]);
        }
        assert.deepEqual(sources, scripts, name);
        assert.deepEqual(inlineScripts(html).map((s) => s.trim()), [starts[name] + "();"], name);
    }
    assert.match(read("Agreement.html"), /<iframe [^>]*src="Eula.html"/);
});

test("the style sheet uses no web fonts, SVG or outside resources", () => {
    const css = read("css/style.css");
    assert.doesNotMatch(css, /@font-face|@import|\.svg\b|behavior\s*:/i);
    for (const ref of references(css)) {
        assert.ok(fs.existsSync(path.join(pagesDir, "css", ref)), ref);
    }
});

test.describe("scripts use only what the platform's engine offers", () => {
    const sources = scripts.map((name) => [name, read(name)]);
    for (const name of pages) {
        inlineScripts(read(name)).forEach((text, i) => sources.push([`${name} script ${i + 1}`, text]));
    }
    for (const [name, text] of sources) {
        test(name, () => {
            const body = code(text);
            for (const [pattern, what] of unsupported) {
                assert.doesNotMatch(body, pattern, `${name} uses ${what}`);
            }
            if (name !== "js/pages.js") {
                assert.doesNotMatch(body, /\b(setTimeout|setInterval)\b/,
                                    `${name}: only the installing page's view uses timers`);
            }
        });
    }
    test("the flow script touches no document, window or timer", () => {
        const body = code(read("js/flow.js"));
        assert.doesNotMatch(body, /\b(window|document|setTimeout|setInterval|alert)\b/);
    });
});

test("the install parameters: one statement, every key, and a list the program reads", () => {
    const text = read("js/installparams.js");
    const scope = loadScripts(["js/installparams.js"]);
    const params = plain(scope.installParams);
    assert.deepEqual(Object.keys(params).sort(), [
        "CHNL", "DOWNLOAD_URL", "EXE_PARAMETERS", "LANG", "PRODUCT_FILE_NAME", "STUB", "TYP_URL",
        "VISIBLE_IN_WEB"]);
    assert.equal(code(text).trim().split(";").filter((part) => part.trim()).length, 1,
                 "a single statement");
    assert.deepEqual(params.LANG, languages);
    assert.deepEqual(nativeLanguageList(text), languages, "as the program reads it");
    assert.match(params.DOWNLOAD_URL, /^https?:\/\/[^/]+\/.*\$\{osbits\}/);
    assert.match(params.TYP_URL, /^https?:\/\//);
    for (const key of Object.keys(params).filter((k) => k !== "LANG")) {
        assert.equal(typeof params[key], "string", key);
    }
});

test("the program's reading of a language list", () => {
    const cases = [
        ['{"LANG":["en","fr"]}', ["en", "fr"]],
        ['{"LANG" : [ "en" , "de" ]}', ["en", "de"]],
        ['{"LANG":[]}', []],
        ['{"CHNL":"x"}', []],
        ['{"LANG":["en","f]r","de"]}', ["en"]],
    ];
    for (const [text, expected] of cases) {
        assert.deepEqual(nativeLanguageList(text), expected, text);
    }
});

test("texts: every language has exactly the texts English has", () => {
    const table = plain(loadScripts(["js/stubparams.js"]).stubParams);
    assert.deepEqual(Object.keys(table).sort(), languages.slice().sort());
    const english = Object.keys(table.en).sort();
    for (const code of languages) {
        const own = Object.keys(table[code]).sort();
        assert.deepEqual(own.filter((key) => !english.includes(key)), [], `${code}: keys English lacks`);
        assert.deepEqual(english.filter((key) => !own.includes(key)), [], `${code}: missing keys`);
        for (const [key, value] of Object.entries(table[code])) {
            assert.equal(typeof value, "string", `${code}.${key}`);
            assert.ok(value.trim().length > 0, `${code}.${key} is not empty`);
            assert.equal(value, value.trim(), `${code}.${key} has no outer blanks`);
        }
    }
});

// How each language writes a decimal number, a quotation (the licence text
// quotes the accept button), its size unit and its document language.
const conventions = {
    en: {point: ".", open: "\u201c", close: "\u201d", unit: "MB", tag: "en"},
    fr: {point: ",", open: "\u00ab\u00a0", close: "\u00a0\u00bb", unit: "Mo", tag: "fr"},
    de: {point: ",", open: "\u201e", close: "\u201c", unit: "MB", tag: "de"},
    it: {point: ",", open: "\u00ab", close: "\u00bb", unit: "MB", tag: "it"},
    jp: {point: ".", open: "\u300c", close: "\u300d", unit: "MB", tag: "ja"},
    es: {point: ",", open: "\u00ab", close: "\u00bb", unit: "MB", tag: "es"},
    pt: {point: ",", open: "\u201c", close: "\u201d", unit: "MB", tag: "pt-BR"},
    nl: {point: ",", open: "\u2018", close: "\u2019", unit: "MB", tag: "nl"},
    ko: {point: ".", open: "\u201c", close: "\u201d", unit: "MB", tag: "ko"},
    ru: {point: ",", open: "\u00ab", close: "\u00bb", unit: "\u041c\u0411", tag: "ru"},
    cs: {point: ",", open: "\u201e", close: "\u201c", unit: "MB", tag: "cs"},
    zh: {point: ".", open: "\u201c", close: "\u201d", unit: "MB", tag: "zh-CN"},
    tw: {point: ".", open: "\u300c", close: "\u300d", unit: "MB", tag: "zh-TW"},
};

test("texts follow each language's conventions", () => {
    const table = plain(loadScripts(["js/stubparams.js"]).stubParams);
    assert.deepEqual(Object.keys(conventions).sort(), languages.slice().sort());
    for (const code of languages) {
        const texts = table[code];
        const want = conventions[code];
        assert.equal(texts.decimalPoint, want.point, `${code}: decimal separator`);
        assert.equal(texts.sizeUnit, want.unit, `${code}: size unit`);
        assert.equal(texts.languageTag, want.tag, `${code}: document language`);
        assert.ok(texts.agreementText.includes(want.open + texts.accept + want.close),
                  `${code}: the licence text quotes its accept button: ${texts.agreementText}`);
        for (const [key, value] of Object.entries(texts)) {
            assert.doesNotMatch(value, /["']/, `${code}.${key}: typographic quotes only`);
            assert.doesNotMatch(value, /\.\.\./, `${code}.${key}: an ellipsis, not three dots`);
            const holes = (value.match(/\{\d+\}/g) || []).sort();
            const englishHoles = (table.en[key].match(/\{\d+\}/g) || []).sort();
            assert.deepEqual(holes, englishHoles, `${code}.${key}: the same placeholders as English`);
        }
        // Names that stay as they are in every language.
        for (const key of ["welcomeTitle", "installingTitle", "completeTitle", "startNow"]) {
            assert.ok(texts[key].includes("Brightcast Suite"), `${code}.${key} names the product`);
        }
        assert.match(texts.errOldWindows, /Windows\u00a0?\s?7/, `${code}: names Windows 7`);
    }
});

test("texts are translated: no language but English repeats an English sentence", () => {
    const table = plain(loadScripts(["js/stubparams.js"]).stubParams);
    // Texts that may equal the English ones: names, units, signs.
    const same = new Set(["caption", "decimalPoint", "sizeUnit", "languageTag", "downloadDetail"]);
    for (const code of languages.filter((c) => c !== "en")) {
        for (const [key, value] of Object.entries(table[code])) {
            if (!same.has(key)) {
                assert.notEqual(value, table.en[key], `${code}.${key} is still English`);
            }
        }
    }
});

test("every text the pages and the flow ask for exists in English", () => {
    const table = plain(loadScripts(["js/stubparams.js"]).stubParams);
    const wanted = new Set(["caption", "decimalPoint", "sizeUnit", "languageTag",
                            "downloadDetail", "retryInstall",
                            "errInstalled", "errOldWindows", "errDownload", "errDiskFull",
                            "errNoNetwork", "errExtract", "errInstall", "errStalled",
                            "phaseDownload", "phaseExtract", "phaseInstall"]);
    for (const name of pages) {
        for (const match of read(name).matchAll(/data-(?:text|title|label)="([^"]+)"/g)) {
            wanted.add(match[1]);
        }
    }
    for (const name of ["js/flow.js", "js/pages.js"]) {
        for (const match of code(read(name)).matchAll(/\btexts\.([A-Za-z]+)/g)) {
            if (!(match[1] in Object.prototype)) {
                wanted.add(match[1]);
            }
        }
    }
    for (const key of wanted) {
        assert.ok(Object.prototype.hasOwnProperty.call(table.en, key), key);
    }
});

test("every licence page belongs to a page language and declares its own", () => {
    for (const code of licenceLanguages) {
        assert.ok(languages.includes(code), code);
        const html = read(`Eula-${code}.html`);
        assert.match(html, /<html class="page-eula" lang="[a-zA-Z-]+">/);
        assert.ok(/<h2>[^<]+<\/h2>/.test(html) && /<p>[^<]{40,}<\/p>/.test(html), code);
    }
    const extra = allFiles(pagesDir).filter((name) => /^Eula-/.test(name) &&
        !licenceLanguages.includes(name.slice(5, -5)));
    assert.deepEqual(extra, [], "no licence without a page language");
});

// What a screen reader needs from the markup before any script runs.
test("every page declares its language and names its controls", () => {
    for (const name of pages) {
        const html = read(name);
        assert.match(html, /<html lang="en">/, `${name}: the language of its built-in texts`);
        for (const match of html.matchAll(/<button\b([^>]*)>([^<]*)<\/button>/g)) {
            const [, attributes, content] = match;
            const named = /\baria-label="[^"]+"/.test(attributes) || /^[A-Za-z]/.test(content.trim());
            assert.ok(named, `${name}: ${match[0]} has a name`);
            if (/\baria-label=/.test(attributes)) {
                assert.match(attributes, /\bdata-label="[^"]+"/, `${name}: ${match[0]} is translated`);
            }
        }
        for (const match of html.matchAll(/<iframe\b[^>]*>/g)) {
            assert.match(match[0], /\btitle="[^"]+"[^>]*\bdata-title="[^"]+"/, `${name}: frame title`);
        }
        for (const match of html.matchAll(/<span class="(?:logo|hero-mark)"[^>]*>/g)) {
            assert.match(match[0], /aria-hidden="true"/, `${name}: decoration is hidden`);
        }
    }
    assert.match(read("Installing.html"),
                 /role="progressbar" aria-labelledby="heading" aria-valuemin="0" aria-valuemax="100"/);
});
