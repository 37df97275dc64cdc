// The system's Chromium for the page suites: started headless with a private
// profile and no background traffic (the machine has no network beyond its
// package registries), and a bounded wait for a condition in the pages.
const puppeteer = require("puppeteer-core");

const executablePath = process.env.BC_CHROMIUM || "/usr/bin/chromium";

// `options` are added to puppeteer's launch options; `extraArgs` to the
// command line.
function launchChromium(userDataDir, extraArgs = [], options = {}) {
    return puppeteer.launch(Object.assign({
        executablePath,
        headless: true,
        userDataDir,
        args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--disable-sync"].concat(extraArgs),
    }, options));
}

// Resolves once `condition` (sync or async) is true; throws after `ms`.
async function waitFor(condition, what, ms = 5000) {
    const end = Date.now() + ms;
    while (!(await condition())) {
        if (Date.now() > end) {
            throw new Error("timed out waiting for " + what);
        }
        await new Promise((resolve) => setTimeout(resolve, 25));
    }
}

module.exports = {launchChromium, waitFor};
