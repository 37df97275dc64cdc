/*
 * The pages' document side: texts, buttons, the title bar and the start
 * function of each page. Loaded after js/installparams.js,
 * js/stubparams.js, js/external.js and js/flow.js.
 *
 * Written for the platform's HTML document in any of its modes: ES3, DOM0
 * event properties, getElementById, text nodes instead of textContent.
 */

function byId(id) {
    return document.getElementById(id);
}

function setText(element, text) {
    while (element.firstChild) {
        element.removeChild(element.firstChild);
    }
    element.appendChild(document.createTextNode(text));
}

// The page property `name`; the script object only answers it as a value.
function pageProperty(name) {
    var value = installer.getProperty(name);
    return value;
}

// The texts of the install language.
function pageTexts() {
    return pickTexts(stubParams, pageProperty("lang"));
}

// Fills in every element that names a text: data-text for its content,
// data-title for its tooltip.
function applyTexts(texts) {
    var all = document.getElementsByTagName("*");
    for (var i = 0; i < all.length; i++) {
        var key = all[i].getAttribute("data-text");
        if (key && texts.hasOwnProperty(key)) {
            setText(all[i], texts[key]);
        }
        key = all[i].getAttribute("data-title");
        if (key && texts.hasOwnProperty(key)) {
            all[i].title = texts[key];
        }
    }
    if (texts.caption) {
        document.title = texts.caption;
    }
}

function onClick(id, action) {
    var element = byId(id);
    if (element) {
        element.onclick = function () {
            action();
            return false;
        };
    }
}

function goTo(page) {
    window.location.href = page;
}

// Pressing the title bar (not one of its buttons) moves the borderless
// window: the program runs the system's move loop until the button is up.
function bindTitleBar() {
    var bar = byId("titlebar");
    if (!bar) {
        return;
    }
    bar.onmousedown = function (event) {
        event = event || window.event;
        if (event.button === 2) {
            return true;
        }
        for (var node = event.target || event.srcElement; node && node !== bar;
             node = node.parentNode) {
            if (node.tagName === "BUTTON" || node.tagName === "INPUT") {
                return true;
            }
        }
        installer.dragWindow();
        return false;
    };
}

// The parts every page with a title bar shares: texts, dragging, close.
function startPage() {
    var texts = pageTexts();
    applyTexts(texts);
    bindTitleBar();
    onClick("close", function () {
        installer.closeWindow();
    });
    return texts;
}

function startLoadPage() {
    var installed = pageProperty("tlwInstalled");
    var version = pageProperty("osVersion");
    var texts = pageTexts();
    applyTexts(texts);
    var problem = environmentProblem(installed, version);
    if (problem) {
        installer.messageBox(texts[problem === "installed" ? "errInstalled" : "errOldWindows"],
                             texts.caption);
        installer.setInstallStatus(4);
        installer.closeWindow();
        return;
    }
    installer.setInstallStatus(0);
    installer.setWindowSize(647, 505);
    installer.setChannel(installParams.CHNL ? String(installParams.CHNL) : "");
    goTo("Welcome.html");
}

function startWelcomePage() {
    startPage();
    onClick("cancel", function () {
        installer.closeWindow();
    });
    onClick("next", function () {
        goTo("Agreement.html");
    });
}

function startAgreementPage() {
    startPage();
    onClick("cancel", function () {
        installer.closeWindow();
    });
    onClick("next", function () {
        goTo("Installing.html");
    });
}

// What the installing flow shows, on this page.
function DomView(texts) {
    this.texts = texts;
}

DomView.prototype.progress = function (state) {
    var texts = this.texts;
    var bar = byId("bar");
    bar.style.width = state.percent + "%";
    byId("progress").setAttribute("aria-valuenow", String(state.percent));
    setText(byId("percent"), state.percent + "%");
    var names = {download: "phaseDownload", extract: "phaseExtract", install: "phaseInstall"};
    setText(byId("phase"), texts[names[state.phase]]);
    var detail = "";
    if (state.phase === "download" && state.total > 1) {
        detail = formatText(texts.downloadDetail,
                            [formatMegabytes(state.current, texts.decimalPoint),
                             formatMegabytes(state.total, texts.decimalPoint)]);
    }
    setText(byId("detail"), detail);
    var order = ["download", "extract", "install"];
    var reached = false;
    for (var i = order.length - 1; i >= 0; i--) {
        var step = byId("step-" + order[i]);
        if (order[i] === state.phase) {
            step.className = "step active";
            reached = true;
        } else {
            step.className = reached ? "step done" : "step";
        }
    }
};

DomView.prototype.schedule = function (action, ms) {
    return window.setTimeout(action, ms);
};

DomView.prototype.cancel = function (handle) {
    window.clearTimeout(handle);
};

DomView.prototype.navigate = function (page) {
    goTo(page);
};

DomView.prototype.finished = function (outcome) {
    document.body.className += " " + outcome;
};

function startInstallingPage() {
    installer.disableCloseWindow(true);
    window.onunload = function () {
        installer.disableCloseWindow(false);
    };
    var texts = startPage();
    onClick("minimise", function () {
        installer.hideWindow();
    });
    var flow = createInstallFlow(installer, new DomView(texts), installParams, texts);
    flow.start();
    return flow;
}

function startCompletePage() {
    startPage();
    var done = false;
    onClick("finish", function () {
        if (done) {
            return;
        }
        done = true;
        if (byId("start-now").checked) {
            installer.startInstallProgram("");
        }
        var url = installParams.TYP_URL ? expandTokens(installParams.TYP_URL, pageProperty) : "";
        if (url) {
            installer.openPage(url);
        }
        installer.closeWindow();
    });
}
