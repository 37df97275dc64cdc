// Scenarios of the installing flow, run by Node against the script stand-in
// and by Wine's JScript against a native stand-in that checks the program's
// call rules. Plain ES3: the second runner is the platform's engine.
//
// Each scenario gives the result codes that the stand-in reports, in order,
// per operation ("stall": the callback does not come until the flow has
// given up; the next code then arrives late), the answers to
// retryMessageBox, and the calls expected (getProperty left out). In
// expected calls "@key" stands for the quoted text of that key.

var flowTestParams = {
    "DOWNLOAD_URL": "http://packages.test/tlw/Brightcast_${osbits}bit.zip?channel=web",
    "PRODUCT_FILE_NAME": "Brightcast.zip",
    "EXE_PARAMETERS": "/norestart",
    "CHNL": "web",
    "TYP_URL": "http://www.brightcast.test/thanks"
};

var flowTestProperties = {
    "osbits": "64",
    "lang": "en",
    "downloadTotal": "1",
    "downloadCurrent": "0",
    "extractProgress": "0",
    "installProgress": "0"
};

var flowCalls = {
    begin: "setInstallStatus(2)",
    download: "download(\"http://packages.test/tlw/Brightcast_64bit.zip?channel=web\")",
    fallback: "download(\"http://packages.test/tlw/Brightcast.zip\")",
    extract: "extract()",
    install: "install(\"/norestart\")",
    retry: "retryMessageBox(@retryInstall)"
};

function flowSteps() {
    var steps = [];
    for (var i = 0; i < arguments.length; i++) {
        var part = arguments[i];
        if (typeof part === "string") {
            steps.push(flowCalls[part] || part);
        } else {
            for (var j = 0; j < part.length; j++) {
                steps.push(part[j]);
            }
        }
    }
    return steps;
}

var flowSucceeded = ["setInstallStatus(1)", "navigate Complete.html", "finished completed"];

function flowFailed(key) {
    return ["messageBox(@" + key + ", @caption)", "closeWindow()", "finished failed"];
}

function withParams(changes) {
    var params = {};
    var key;
    for (key in flowTestParams) {
        if (flowTestParams.hasOwnProperty(key)) {
            params[key] = flowTestParams[key];
        }
    }
    for (key in changes) {
        if (changes.hasOwnProperty(key)) {
            params[key] = changes[key];
        }
    }
    return params;
}

var flowScenarios = [
    {name: "success, with the progress of each step",
     properties: {downloadTotal: "2000", downloadCurrent: "1000", extractProgress: "50",
                  installProgress: "40"},
     download: [0], extract: [0], install: [0],
     calls: flowSteps("begin", "download", "extract", "install", flowSucceeded),
     state: "completed",
     progress: ["download 0", "download 30", "extract 60", "extract 65", "install 70",
                "install 82", "install 100"]},
    {name: "32-bit Windows gets its package",
     properties: {osbits: "32"},
     download: [0], extract: [0], install: [0],
     calls: flowSteps("begin",
                      "download(\"http://packages.test/tlw/Brightcast_32bit.zip?channel=web\")",
                      "extract", "install", flowSucceeded),
     state: "completed"},
    {name: "package not found, the default URL works",
     download: [2, 0], extract: [0], install: [0],
     calls: flowSteps("begin", "download", "fallback", "extract", "install", flowSucceeded),
     state: "completed"},
    {name: "package not found at the default URL either",
     download: [2, 2],
     calls: flowSteps("begin", "download", "fallback", flowFailed("errDownload")),
     state: "failed"},
    {name: "default URL fails for want of a network",
     download: [2, 5],
     calls: flowSteps("begin", "download", "fallback", flowFailed("errNoNetwork")),
     state: "failed"},
    {name: "no default URL without a product file name",
     params: withParams({"PRODUCT_FILE_NAME": ""}),
     download: [2],
     calls: flowSteps("begin", "download", flowFailed("errDownload")),
     state: "failed"},
    {name: "no package URL at all",
     params: withParams({"DOWNLOAD_URL": ""}),
     calls: flowSteps("begin", flowFailed("errDownload")),
     state: "failed"},
    {name: "download: disk full",
     download: [3],
     calls: flowSteps("begin", "download", flowFailed("errDiskFull")),
     state: "failed"},
    {name: "download: no network",
     download: [5],
     calls: flowSteps("begin", "download", flowFailed("errNoNetwork")),
     state: "failed"},
    {name: "download: other failure",
     download: [1],
     calls: flowSteps("begin", "download", flowFailed("errDownload")),
     state: "failed"},
    {name: "download: transfer failed",
     download: [4],
     calls: flowSteps("begin", "download", flowFailed("errDownload")),
     state: "failed"},
    {name: "download: aborted",
     download: [6],
     calls: flowSteps("begin", "download", flowFailed("errDownload")),
     state: "failed"},
    {name: "download: a code the flow does not know",
     download: [99],
     calls: flowSteps("begin", "download", flowFailed("errDownload")),
     state: "failed"},
    {name: "extract: package unreadable",
     download: [0], extract: [1],
     calls: flowSteps("begin", "download", "extract", flowFailed("errExtract")),
     state: "failed"},
    {name: "extract: disk full",
     download: [0], extract: [2],
     calls: flowSteps("begin", "download", "extract", flowFailed("errDiskFull")),
     state: "failed"},
    {name: "extract: no setup.exe in the package",
     download: [0], extract: [3],
     calls: flowSteps("begin", "download", "extract", flowFailed("errExtract")),
     state: "failed"},
    {name: "install: busy installer, retry works",
     download: [0], extract: [0], install: [4, 0], answers: [true],
     calls: flowSteps("begin", "download", "extract", "install", "retry", "install",
                      flowSucceeded),
     state: "completed"},
    {name: "install: busy installer, the user gives up",
     download: [0], extract: [0], install: [4], answers: [false],
     calls: flowSteps("begin", "download", "extract", "install", "retry",
                      ["setInstallStatus(3)", "closeWindow()", "finished canceled"]),
     state: "canceled"},
    {name: "install: busy twice, then the user gives up",
     download: [0], extract: [0], install: [4, 4], answers: [true, false],
     calls: flowSteps("begin", "download", "extract", "install", "retry", "install", "retry",
                      ["setInstallStatus(3)", "closeWindow()", "finished canceled"]),
     state: "canceled"},
    {name: "install: setup failed",
     download: [0], extract: [0], install: [1],
     calls: flowSteps("begin", "download", "extract", "install", flowFailed("errInstall")),
     state: "failed"},
    {name: "install: setup failed with 1603 or did not start",
     download: [0], extract: [0], install: [3],
     calls: flowSteps("begin", "download", "extract", "install", flowFailed("errInstall")),
     state: "failed"},
    {name: "install: busy after a retry, then setup fails",
     download: [0], extract: [0], install: [4, 1], answers: [true],
     calls: flowSteps("begin", "download", "extract", "install", "retry", "install",
                      flowFailed("errInstall")),
     state: "failed"},
    {name: "download stalls; its late success is ignored",
     download: ["stall", 0],
     calls: flowSteps("begin", "download", flowFailed("errStalled")),
     state: "failed"},
    {name: "install stalls; its late success is ignored",
     download: [0], extract: [0], install: ["stall", 0],
     calls: flowSteps("begin", "download", "extract", "install", flowFailed("errStalled")),
     state: "failed"}
];
