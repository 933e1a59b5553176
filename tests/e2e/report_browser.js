// Opens a collector report in headless Chromium (the Debian browser, driven by playwright-core)
// and prints what a person would find there as one JSON object; the Python tests assert on it.
//   node report_browser.js REPORT.html SCREENSHOT.png FUNCTION_TO_CLICK
"use strict";
const path = require("path");
const web = process.env.QX_WEB_DIR || path.join(__dirname, "..", "..", "tools", "collector", "report", "web");
const { chromium } = require(path.join(web, "node_modules", "playwright-core"));

async function main() {
  const [report, screenshot, clickName] = process.argv.slice(2);
  const url = "file://" + path.resolve(report);
  const browser = await chromium.launch({
    executablePath: process.env.QX_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    // Root in a container has no user namespace for the browser's sandbox.
    args: ["--no-sandbox", "--disable-gpu"],
  });
  const result = { consoleErrors: [], requests: [] };
  try {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    page.on("console", (m) => { if (m.type() === "error" || m.type() === "warning") result.consoleErrors.push(m.type() + ": " + m.text()); });
    page.on("pageerror", (e) => result.consoleErrors.push("page error: " + e.message));
    page.on("request", (r) => { if (r.url() !== url) result.requests.push(r.url()); });
    await page.goto(url, { waitUntil: "load" });
    result.ready = await page.waitForFunction(() => document.body.getAttribute("data-ready") === "1", null,
      { timeout: 15000 }).then(() => true, () => false);
    if (!result.ready) {
      process.stdout.write(JSON.stringify(result) + "\n");
      return;
    }
    await page.waitForTimeout(500);
    result.flameFrames = await page.$$eval("#flame-chart g.frame", (gs) => gs.map((g) => g.getAttribute("name")));
    result.timelineTitles = await page.$$eval("#timeline-chart rect.call title", (ts) => ts.map((t) => t.textContent));
    result.timelineNote = await page.textContent("#timeline-note");
    // The captured-calls table pages: read every page.
    result.capturedText = "";
    result.capturedRows = 0;
    for (let pages = 0; pages < 100; pages++) {
      result.capturedText += await page.textContent("#captured-table tbody");
      result.capturedRows += await page.$$eval("#captured-table tbody tr", (rs) => rs.length);
      if (await page.$eval("#captured-pager button.next", (b) => b.disabled)) break;
      await page.click("#captured-pager button.next");
    }
    result.exceptionsText = await page.textContent("#exceptions-table tbody");
    result.summaryText = await page.textContent("#summary-body");
    // Clicking a frame zooms into it: it then spans the whole width of the graph.
    const frame = await page.$$eval("#flame-chart g.frame", (gs, name) => {
      // The widest frame of that function, so that it is surely drawn and easy to hit.
      let i = -1, widest = -1;
      gs.forEach((g, k) => {
        const w = g.querySelector("rect").getBoundingClientRect().width;
        if ((g.getAttribute("name") || "").includes(name) && w > widest) {
          i = k;
          widest = w;
        }
      });
      if (i < 0) return null;
      const r = gs[i].querySelector("rect").getBoundingClientRect();
      gs[i].setAttribute("data-qx-click", "1");
      return { width: r.width, chart: document.querySelector("#flame-chart svg").getBoundingClientRect().width };
    }, clickName);
    result.clicked = frame;
    if (frame) {
      await page.click("#flame-chart g[data-qx-click='1'] rect", { force: true });
      await page.waitForTimeout(1200);
      result.widthAfterClick = await page.$eval("#flame-chart g[data-qx-click='1'] rect",
        (r) => r.getBoundingClientRect().width);
      await page.click("#flame-reset");
      await page.waitForTimeout(600);
    }
    // The top of the page: summary, flame graph, timeline and the first rows of the tables.
    const height = await page.evaluate(() => document.documentElement.scrollHeight);
    await page.screenshot({ path: screenshot, fullPage: true, clip: { x: 0, y: 0, width: 1400, height: Math.min(height, Number(process.env.QX_SHOT_HEIGHT || 2400)) } });
  } finally {
    await browser.close();
  }
  process.stdout.write(JSON.stringify(result) + "\n");
}

main().catch((e) => {
  process.stderr.write(String(e && e.stack || e) + "\n");
  process.exit(1);
});
