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
// data-title for its tooltip, data-label for the name a screen reader gives
// it; and declares the document's language, so that speech and line
// breaking follow the texts.
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
        key = all[i].getAttribute("data-label");
        if (key && texts.hasOwnProperty(key)) {
            all[i].setAttribute("aria-label", texts[key]);
        }
    }
    if (texts.languageTag) {
        document.documentElement.setAttribute("lang", texts.languageTag);
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

// Whether a key event comes from a control that handles Enter itself.
function keyIsForControl(event) {
    var node = event.target || event.srcElement;
    var tag = node && node.tagName ? node.tagName.toUpperCase() : "";
    return tag === "BUTTON" || tag === "A" || tag === "TEXTAREA" || tag === "SELECT";
}

// A dialog's keys: Enter presses the default button (a focused button takes
// its own Enter), Escape presses Cancel where the page has one. The default
// button has the focus first, so that Enter alone walks through the pages.
function bindKeys(defaultId, cancelId) {
    var handler = function (event) {
        event = event || window.event;
        var key = event.keyCode;
        var target = null;
        if (key === 13 && !keyIsForControl(event)) {
            target = defaultId ? byId(defaultId) : null;
        } else if (key === 27) {
            target = cancelId ? byId(cancelId) : null;
        }
        if (!target || target.disabled) {
            return true;
        }
        target.click();
        if (event.preventDefault) {
            event.preventDefault();
        }
        event.returnValue = false;
        return false;
    };
    document.onkeydown = handler;
    var first = defaultId ? byId(defaultId) : null;
    if (first) {
        try {
            first.focus();
        } catch (e) {
            // A document that is not shown yet refuses focus; Tab still works.
        }
    }
    return handler;
}

// Keys typed while the licence has the focus reach its own document; Escape
// should cancel there too. A document the pages may not reach is left alone.
function bindFrameKeys(frameId, handler) {
    var frame = byId(frameId);
    if (!frame) {
        return;
    }
    var bind = function () {
        try {
            var inner = frame.contentWindow.document;
            inner.onkeydown = function (event) {
                event = event || frame.contentWindow.event;
                return event.keyCode === 27 ? handler(event) : true;
            };
        } catch (e) {
            // Another origin: its keys stay its own.
        }
    };
    frame.onload = bind;
    bind();
    // A frame's document takes the focus in a way no selector of this page
    // sees, so the frame's ring is a class: set while the frame has focus.
    var mark = function () {
        var on = document.activeElement === frame;
        frame.className = on ? "eula focused" : "eula";
    };
    frame.onfocus = mark;
    frame.onblur = mark;
    window.onfocus = mark;
    window.onblur = mark;
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
    bindKeys("next", "cancel");
}

function startAgreementPage() {
    startPage();
    onClick("cancel", function () {
        installer.closeWindow();
    });
    onClick("next", function () {
        goTo("Installing.html");
    });
    bindFrameKeys("eula", bindKeys("next", "cancel"));
}

// A byte count in megabytes as the language writes it, e.g. "63,0 Mo"; the
// space is a no-break one, so that number and unit stay on one line.
function formatSize(bytes, texts) {
    var number = formatMegabytes(bytes, texts.decimalPoint).replace(/ MB$/, "");
    return number + "\u00a0" + (texts.sizeUnit || "MB");
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
                            [formatSize(state.current, texts), formatSize(state.total, texts)]);
    }
    setText(byId("detail"), detail);
    var order = ["download", "extract", "install"];
    var reached = false;
    for (var i = order.length - 1; i >= 0; i--) {
        var step = byId("step-" + order[i]);
        if (order[i] === state.phase) {
            step.className = "step active";
            step.setAttribute("aria-current", "step");
            reached = true;
        } else {
            step.className = reached ? "step done" : "step";
            step.removeAttribute("aria-current");
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
    bindCancel(flow, texts);
    flow.start();
    return flow;
}

// Cancel asks first, in the footer: during the download and the unzip,
// whether to stop; during setup, which goes on by itself, whether to close
// the window. Escape asks, and while asking Escape keeps going.
function bindCancel(flow, texts) {
    var asking = function (yes) {
        var show = function (id, visible) {
            byId(id).style.display = visible ? "" : "none";
        };
        byId("confirm-text").style.display = yes ? "block" : "none";
        show("cancel", !yes);
        show("keep-going", yes);
        show("stop", yes);
        bindKeys("", yes ? "keep-going" : "cancel");
        byId(yes ? "keep-going" : "cancel").focus();
    };
    onClick("cancel", function () {
        if (flow.isOver()) {
            return;
        }
        var setupRuns = flow.state === "install";
        setText(byId("confirm-text"), texts[setupRuns ? "cancelSetupRuns" : "cancelConfirm"]);
        setText(byId("stop"), texts[setupRuns ? "close" : "stop"]);
        asking(true);
    });
    onClick("keep-going", function () {
        asking(false);
    });
    onClick("stop", function () {
        byId("stop").disabled = true;
        flow.cancel();
    });
    bindKeys("", "cancel");
    try {
        byId("minimise").focus();
    } catch (e) {
        // A document that is not shown yet refuses focus; Tab still works.
    }
}

function startCompletePage() {
    startPage();
    // Setup installed everything but Windows must restart to finish.
    if (pageProperty("restartRequired") === "true") {
        byId("restart-note").style.display = "block";
    }
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
    bindKeys("finish", "");
}
