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

const languages = ["en", "fr", "de", "it", "jp", "nl", "tw"];
const pages = ["Load.html", "Welcome.html", "Agreement.html", "Installing.html", "Complete.html"];
const licences = ["Eula.html"].concat(
    languages.filter((code) => code !== "en").map((code) => `Eula-${code}.html`));
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

test("texts: seven languages, English, German and French complete, no stray keys", () => {
    const table = plain(loadScripts(["js/stubparams.js"]).stubParams);
    assert.deepEqual(Object.keys(table).sort(), languages.slice().sort());
    const english = Object.keys(table.en).sort();
    for (const code of ["de", "fr"]) {
        assert.deepEqual(Object.keys(table[code]).sort(), english, `${code} is complete`);
    }
    for (const code of languages) {
        for (const [key, value] of Object.entries(table[code])) {
            assert.ok(english.includes(key), `${code}.${key} is a known text`);
            assert.equal(typeof value, "string");
            assert.ok(value.length > 0, `${code}.${key} is not empty`);
        }
        assert.ok(table[code].caption && table[code].next && table[code].finish,
                  `${code} has at least its buttons and caption`);
    }
});

test("every text the pages and the flow ask for exists in English", () => {
    const table = plain(loadScripts(["js/stubparams.js"]).stubParams);
    const wanted = new Set(["caption", "decimalPoint", "downloadDetail", "retryInstall",
                            "errInstalled", "errOldWindows", "errDownload", "errDiskFull",
                            "errNoNetwork", "errExtract", "errInstall", "errStalled",
                            "phaseDownload", "phaseExtract", "phaseInstall"]);
    for (const name of pages) {
        for (const match of read(name).matchAll(/data-(?:text|title)="([^"]+)"/g)) {
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

test("every translated language has its licence page", () => {
    for (const code of languages.filter((c) => c !== "en")) {
        const html = read(`Eula-${code}.html`);
        assert.match(html, /<html class="page-eula" lang="[a-zA-Z-]+">/);
        assert.ok(/<h2>[^<]+<\/h2>/.test(html) && /<p>[^<]{40,}<\/p>/.test(html), code);
    }
});
