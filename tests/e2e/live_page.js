// Opens the collector's live page (or a report) in headless Chromium and watches it: for the live
// page it prints "open" once the page is drawn, then waits, without reloading, until its table
// holds the rows wanted; for both it reads the comparison with an earlier run. Prints what it
// found as one JSON object.
//   node live_page.js URL SCREENSHOT.png ROWS_WANTED
"use strict";
const path = require("path");
const web = process.env.QX_WEB_DIR || path.join(__dirname, "..", "..", "tools", "collector", "report", "web");
const { chromium } = require(path.join(web, "node_modules", "playwright-core"));

async function main() {
  const [url, screenshot, wanted] = process.argv.slice(2);
  const browser = await chromium.launch({
    executablePath: process.env.QX_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu"],
  });
  const result = { consoleErrors: [], foreign: [], navigations: 0 };
  try {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    page.on("console", (m) => { if (m.type() === "error" || m.type() === "warning") result.consoleErrors.push(m.type() + ": " + m.text()); });
    page.on("pageerror", (e) => result.consoleErrors.push("page error: " + e.message));
    const origin = url.startsWith("http") ? new URL(url).origin : null;
    page.on("request", (r) => { if (r.url() !== url && (!origin || !r.url().startsWith(origin + "/"))) result.foreign.push(r.url()); });
    page.on("framenavigated", (f) => { if (f === page.mainFrame()) result.navigations++; });
    await page.goto(url, { waitUntil: "load" });
    result.ready = await page.waitForFunction(() => document.body.getAttribute("data-ready") === "1", null,
      { timeout: 30000 }).then(() => true, () => false);
    result.live = url.startsWith("http");
    if (result.ready && result.live) {
      result.rowsAtOpen = (await page.$$("#requests-table tbody tr")).length;
      process.stdout.write("open\n");
      result.grew = await page.waitForFunction((n) => document.querySelectorAll("#requests-table tbody tr").length >= n,
        Number(wanted), { timeout: 60000, polling: 200 }).then(() => true, () => false);
      result.banner = await page.textContent("#live-banner");
      result.hiddenSections = await page.$$eval("main section[hidden]", (s) => s.map((x) => x.id));
      await page.check("#requests-group");
      result.endpoints = await page.$$eval("#endpoints-table tbody tr", (trs) => trs.map((tr) => tr.children[0].textContent));
      await page.uncheck("#requests-group");
    }
    if (result.ready) {
      result.paths = await page.$$eval("#requests-table tbody tr", (trs) => trs.map((tr) => tr.children[3].textContent));
      // The comparison, when there is one (the live page asks for it every two seconds).
      await page.waitForFunction(() => !document.getElementById("compare").hidden, null, { timeout: result.live ? 5000 : 1000 })
        .catch(() => {});
      result.compareShown = await page.$eval("#compare", (s) => !s.hidden);
      result.compareRule = await page.textContent("#compare-rule");
      result.compareNote = await page.textContent("#compare-note");
      result.compareRows = await page.$$eval("#compare-table tbody tr", (trs) => trs.map((tr) => ({
        endpoint: tr.getAttribute("data-endpoint"), regression: tr.classList.contains("regression"),
        cells: [...tr.children].map((c) => c.textContent) })));
      result.flameFrames = await page.$$eval("#compare-flame g", (gs) => gs.map((g) => {
        const r = g.querySelector("rect");
        return { name: g.textContent, fill: r ? r.getAttribute("fill") || getComputedStyle(r).fill : "" };
      }).slice(0, 400));
      if (result.compareShown) await page.$eval("#compare", (s) => s.scrollIntoView());
      else await page.evaluate(() => window.scrollTo(0, 0));
      await page.screenshot({ path: screenshot, fullPage: false });
    }
  } finally {
    await browser.close();
  }
  process.stdout.write(JSON.stringify(result) + "\n");
}

main().catch((e) => {
  process.stderr.write(String(e && e.stack || e) + "\n");
  process.exit(1);
});
