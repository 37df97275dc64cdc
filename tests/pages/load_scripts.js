// Loads page scripts into one fresh global scope, the way a page's script
// tags share the window, and returns that scope.
const fs = require("fs");
const path = require("path");
const vm = require("vm");

const pagesDir = path.resolve(__dirname, "..", "..", "pages");

function loadScripts(files, globals) {
    const context = vm.createContext(Object.assign({}, globals || {}));
    for (const file of files) {
        const full = path.isAbsolute(file) ? file : path.join(pagesDir, file);
        vm.runInContext(fs.readFileSync(full, "utf8"), context, {filename: full});
    }
    return context;
}

module.exports = {loadScripts, pagesDir};
