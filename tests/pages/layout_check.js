// The layout check that runs inside a page: every piece of text stays in the
// window, in each box around it and in every box that clips it; no text or
// control overlaps another that is not its own; no box hides content it cuts
// off. Returns the problems as sentences ([] when there are none). Runs in
// the browser, so it uses nothing from outside its own body.
function layoutProblems() {
    const problems = [];
    const slack = 1;
    const root = document.documentElement;
    const view = {left: 0, top: 0, right: root.clientWidth, bottom: root.clientHeight};
    const shown = (e) => {
        const style = getComputedStyle(e);
        return style.display !== "none" && style.visibility !== "hidden" &&
               e.getClientRects().length > 0;
    };
    const name = (e) => (e.id ? "#" + e.id : e.tagName.toLowerCase() +
        (typeof e.className === "string" && e.className ? "." + e.className.trim().split(/\s+/).join(".") : ""));
    const inside = (r, b) => r.left >= b.left - slack && r.right <= b.right + slack &&
                             r.top >= b.top - slack && r.bottom <= b.bottom + slack;
    const overlap = (a, b) => a.left < b.right - slack && b.left < a.right - slack &&
                              a.top < b.bottom - slack && b.top < a.bottom - slack;
    const within = (inner, outer) => outer === inner || outer.contains(inner);

    // Text, line by line, with the element that holds it.
    const pieces = [];
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
        const owner = node.parentElement;
        if (!node.data.trim() || !owner || !shown(owner)) {
            continue;
        }
        const range = document.createRange();
        range.selectNodeContents(node);
        for (const r of range.getClientRects()) {
            if (r.width > 0 && r.height > 0) {
                pieces.push({owner, rect: r, text: node.data.trim().slice(0, 32)});
            }
        }
    }
    for (const piece of pieces) {
        const what = `${name(piece.owner)} "${piece.text}"`;
        if (!inside(piece.rect, view)) {
            problems.push(`${what} leaves the window`);
        }
        for (let e = piece.owner; e && e !== root; e = e.parentElement) {
            const style = getComputedStyle(e);
            if (style.display === "inline" || style.display === "contents") {
                continue;
            }
            if (!inside(piece.rect, e.getBoundingClientRect())) {
                problems.push(`${what} sticks out of ${name(e)}`);
                break;
            }
        }
    }

    // Controls and other solid boxes.
    const solids = Array.from(document.querySelectorAll(
        "button, input, label, iframe, [role=progressbar], .hero, .titlebar .logo, h1, p, li"))
        .filter(shown);
    for (let i = 0; i < pieces.length; i++) {
        for (let j = i + 1; j < pieces.length; j++) {
            const a = pieces[i];
            const b = pieces[j];
            if (a.owner !== b.owner && !within(a.owner, b.owner) && !within(b.owner, a.owner) &&
                overlap(a.rect, b.rect)) {
                problems.push(`${name(a.owner)} "${a.text}" overlaps ${name(b.owner)} "${b.text}"`);
            }
        }
        for (const solid of solids) {
            const a = pieces[i];
            if (!within(a.owner, solid) && !within(solid, a.owner) &&
                overlap(a.rect, solid.getBoundingClientRect())) {
                problems.push(`${name(a.owner)} "${a.text}" overlaps ${name(solid)}`);
            }
        }
    }
    for (let i = 0; i < solids.length; i++) {
        for (let j = i + 1; j < solids.length; j++) {
            const a = solids[i];
            const b = solids[j];
            if (!within(a, b) && !within(b, a) &&
                overlap(a.getBoundingClientRect(), b.getBoundingClientRect())) {
                problems.push(`${name(a)} overlaps ${name(b)}`);
            }
        }
    }

    // Boxes that cut off what they hold.
    for (const e of document.querySelectorAll("*")) {
        if (e.tagName === "IFRAME" || !shown(e)) {
            continue;
        }
        const style = getComputedStyle(e);
        if ((style.overflowX !== "visible" && e.scrollWidth > e.clientWidth + slack) ||
            (style.overflowY !== "visible" && e.scrollHeight > e.clientHeight + slack)) {
            problems.push(`${name(e)} cuts off its content (${e.scrollWidth}x${e.scrollHeight} ` +
                          `in ${e.clientWidth}x${e.clientHeight})`);
        }
    }
    return problems;
}

module.exports = {layoutProblems};
