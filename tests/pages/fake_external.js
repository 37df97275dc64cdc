// A stand-in for the setup program's script object, for Node and for pages
// in Chromium. It keeps the program's call rules where script can see them
// (argument count and types, status range) and throws like the program's
// refusals do; it records every call as one line, e.g.
//   download("http://host/p.zip")   setInstallStatus(2)   extract()
// (callbacks are left out). The long operations keep their callback until
// the test completes them with a result code.
//
// Test side (also offered by the Wine test's native stand-in):
//   testReset() testSetProperty(name, value) testAddAnswer(bool)
//   testPending() -> "download" | "extract" | "install" | ""
//   testComplete(code)  testNote(text)  testCalls() -> lines joined by "\n"
function createFakeExternal(options) {
    options = options || {};
    var properties = {};
    var answers = [];
    var calls = [];
    var pending = [];
    var onRecord = options.onRecord || null;

    function setProperties(values) {
        for (var name in values) {
            if (Object.prototype.hasOwnProperty.call(values, name)) {
                properties[name] = String(values[name]);
            }
        }
    }

    function reset() {
        properties = {};
        answers = (options.answers || []).slice();
        calls = [];
        pending = [];
        setProperties(options.properties || {});
    }

    function record(line) {
        calls.push(line);
        if (onRecord) {
            onRecord(line);
        }
    }

    function isInt32(value) {
        return typeof value === "number" && isFinite(value) && Math.floor(value) === value &&
               value >= -2147483648 && value <= 2147483647;
    }

    var checks = {
        int: isInt32,
        string: function (v) { return typeof v === "string"; },
        bool: function (v) { return typeof v === "boolean"; },
        function: function (v) { return typeof v === "function"; }
    };

    function format(value) {
        return typeof value === "string" ? '"' + value + '"' : String(value);
    }

    // One script method: checks the arguments, records the call, runs `body`.
    function method(name, types, body) {
        return function () {
            var args = Array.prototype.slice.call(arguments);
            if (args.length !== types.length) {
                throw new Error(name + ": wrong number of arguments (" + args.length + ")");
            }
            var shown = [];
            for (var i = 0; i < types.length; i++) {
                if (!checks[types[i]](args[i])) {
                    throw new Error(name + ": argument " + (i + 1) + " is not " + types[i]);
                }
                if (types[i] !== "function") {
                    shown.push(format(args[i]));
                }
            }
            record(name + "(" + shown.join(", ") + ")");
            return body ? body.apply(null, args) : undefined;
        };
    }

    function later(operation) {
        return function () {
            pending.push({operation: operation, callback: arguments[arguments.length - 1]});
        };
    }

    reset();
    var external = {
        setWindowSize: method("setWindowSize", ["int", "int"]),
        closeWindow: method("closeWindow", []),
        download: method("download", ["string", "function"], later("download")),
        install: method("install", ["string", "function"], later("install")),
        getProperty: method("getProperty", ["string"], function (name) {
            if (!Object.prototype.hasOwnProperty.call(properties, name)) {
                properties[name] = "";
            }
            return properties[name];
        }),
        setChannel: method("setChannel", ["string"]),
        setInstallStatus: method("setInstallStatus", ["int"], function (status) {
            if (status < 0 || status > 4) {
                throw new Error("setInstallStatus: status out of range");
            }
        }),
        startInstallProgram: method("startInstallProgram", ["string"]),
        hideWindow: method("hideWindow", []),
        dragWindow: method("dragWindow", []),
        messageBox: method("messageBox", ["string", "string"]),
        disableCloseWindow: method("disableCloseWindow", ["bool"]),
        restoreWindow: method("restoreWindow", []),
        openPage: method("openPage", ["string"]),
        retryMessageBox: method("retryMessageBox", ["string"], function () {
            return answers.length ? Boolean(answers.shift()) : false;
        }),
        extract: method("extract", ["function"], later("extract")),

        testReset: reset,
        testSetProperty: function (name, value) {
            properties[name] = String(value);
        },
        testAddAnswer: function (answer) {
            answers.push(Boolean(answer));
        },
        testPending: function () {
            return pending.length ? pending[0].operation : "";
        },
        testComplete: function (code) {
            var next = pending.shift();
            if (!next) {
                throw new Error("testComplete: nothing is pending");
            }
            next.callback(code);
        },
        testNote: function (text) {
            record(String(text));
        },
        testCalls: function () {
            return calls.join("\n");
        },
        testCallList: function () {
            return calls.slice();
        },
        testProperty: function (name) {
            return properties[name];
        }
    };
    return external;
}

if (typeof module !== "undefined" && module.exports) {
    module.exports = createFakeExternal;
}
