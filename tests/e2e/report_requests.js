// Opens a collector report in headless Chromium and works its requests view as a person would:
// sorts, filters, groups, opens requests. Prints what it found as one JSON object for the Python
// tests to assert on.
//   node report_requests.js REPORT.html SCREENSHOT.png [PATH_TO_OPEN ...]
"use strict";
const path = require("path");
const web = process.env.QX_WEB_DIR || path.join(__dirname, "..", "..", "tools", "collector", "report", "web");
const { chromium } = require(path.join(web, "node_modules", "playwright-core"));

// The rows of the requests table as the page shows them.
function readRows(page) {
  return page.$$eval("#requests-table tbody tr", (trs) => trs.map((tr) => {
    const td = [...tr.children].map((c) => c.textContent);
    return { id: Number(td[0]), method: td[2], path: td[3], status: td[4], duration: td[5], sql: td[6],
      http: td[8], redis: td[9], tags: [...tr.querySelectorAll(".tag")].map((t) => t.textContent) };
  }));
}

async function clickHeader(page, table, key) {
  await page.click(table + " th[data-key='" + key + "']");
  return page.$eval(table + " th[data-key='" + key + "']", (th) => th.getAttribute("aria-sort"));
}

async function choose(page, select, value) {
  const has = await page.$(select + " option[value='" + value + "']");
  if (!has) return false;
  await page.selectOption(select, value);
  return true;
}

async function tableWork(page, result) {
  result.nav = await page.$$eval("header nav a", (as) => as.map((a) => a.getAttribute("href")));
  result.firstSection = await page.$eval("main section", (s) => s.id);
  result.rows = await readRows(page);
  result.note = await page.textContent("#requests-note");
  result.sortState = await clickHeader(page, "#requests-table", "durationMs");
  result.byDuration = (await readRows(page)).map((r) => r.id);
  result.sortStateAgain = await clickHeader(page, "#requests-table", "durationMs");
  result.byDurationAscending = (await readRows(page)).map((r) => r.id);
  await clickHeader(page, "#requests-table", "id");
  if (await choose(page, "#requests-finding", "failed")) result.failedRows = await readRows(page);
  await page.selectOption("#requests-finding", "");
  if (await choose(page, "#requests-status", "4xx")) result.rows4xx = await readRows(page);
  await page.selectOption("#requests-status", "");
  await page.fill("#requests-search", "catalogue");
  result.searchRows = await readRows(page);
  await page.fill("#requests-search", "");
  await page.check("#requests-group");
  result.endpoints = await page.$$eval("#endpoints-table tbody tr", (trs) => trs.map((tr) => [...tr.children].map((c) => c.textContent)));
  result.requestsTableHidden = await page.$eval("#requests-table", (t) => t.hidden);
  // A click on an endpoint shows its requests alone.
  if (result.endpoints.length) {
    await page.click("#endpoints-table tbody tr:first-child");
    result.endpointRows = await readRows(page);
    result.endpointChip = await page.textContent("#requests-endpoint");
    await page.click("#requests-endpoint button");
  }
  result.rowsAfterAll = (await readRows(page)).length;
}

async function openRequest(page, wanted) {
  const clicked = await page.$$eval("#requests-table tbody tr", (trs, p) => {
    const tr = trs.find((t) => t.children[3].textContent.split("?")[0] === p);
    if (!tr) return null;
    tr.setAttribute("data-qx-click", "1");
    return tr.getAttribute("data-i");
  }, wanted);
  if (clicked === null) return null;
  await page.click("#requests-table tr[data-qx-click='1'] td:nth-child(4)");
  await page.$eval("#requests-table tr[data-qx-click='1']", (tr) => tr.removeAttribute("data-qx-click"));
  await page.waitForTimeout(200);
  return page.$eval("#request-detail", (box) => {
    const text = (id) => { const e = box.querySelector("#" + id); return e ? e.textContent : null; };
    return {
      hidden: box.hidden,
      title: box.querySelector("h3").textContent,
      findings: text("request-findings"),
      timelineCalls: box.querySelectorAll("#request-timeline rect.call").length,
      timelineLanes: [...box.querySelectorAll("#request-timeline .lane-label")].map((t) => t.textContent),
      timelineMarks: [...box.querySelectorAll("#request-timeline rect.item")].map((r) => r.getAttribute("class")),
      // Where each lane's calls start on the shared axis, to see that later threads start later.
      // A thread the request reached may have kept no calls or marks there: its lane starts nowhere.
      laneStarts: [...box.querySelectorAll("#request-timeline g.lane")].map((g) => {
        const xs = [...g.querySelectorAll("rect.call, rect.item")].map((r) => Number(r.getAttribute("x")));
        return xs.length ? Math.min(...xs) : null;
      }),
      sql: text("request-sql"),
      http: text("request-http"),
      redis: text("request-redis"),
      exceptions: text("request-exceptions"),
      tags: [...box.querySelectorAll(".tag")].map((t) => t.textContent),
    };
  });
}

async function otherSections(page, result) {
  result.exceptionsText = await page.textContent("#exceptions-table tbody");
  result.exceptionRows = await page.$$eval("#exceptions-table tbody tr", (trs) => trs.length);
  result.exceptionsNote = await page.textContent("#exceptions-note");
  result.capturedRows = await page.$$eval("#captured-table tbody tr", (rs) => rs.length);
  result.capturedPlumbingShown = await page.$$eval("#captured-table tbody tr.plumbing", (rs) => rs.length);
  result.capturedNote = await page.textContent("#captured-note");
  await page.check("#captured-plumbing");
  result.capturedPlumbingAfterToggle = await page.$$eval("#captured-table tbody tr.plumbing", (rs) => rs.length);
  result.capturedNoteAfterToggle = await page.textContent("#captured-note");
  await page.uncheck("#captured-plumbing");
  result.drops = await page.textContent("#summary-body .drops");
}

// Figures, not assertions: how long the page takes for what a person does, measured inside it
// (each of these renders synchronously), and the longest frame while scrolling the page.
function timings(page) {
  return page.evaluate(async () => {
    const t = {};
    const time = (name, fn) => { const s = performance.now(); fn(); t[name] = Math.round(performance.now() - s); };
    const click = (selector) => document.querySelector(selector).click();
    const set = (id, value, event) => {
      const e = document.getElementById(id);
      if (typeof value === "boolean") e.checked = value; else e.value = value;
      e.dispatchEvent(new Event(event));
    };
    time("sortByDuration", () => click("#requests-table th[data-key='durationMs']"));
    time("sortById", () => click("#requests-table th[data-key='id']"));
    time("filterText", () => set("requests-search", "select", "input"));
    time("clearText", () => set("requests-search", "", "input"));
    time("groupByEndpoint", () => set("requests-group", true, "change"));
    time("ungroup", () => set("requests-group", false, "change"));
    time("nextPage", () => click("#requests-pager button.next"));
    time("previousPage", () => click("#requests-pager button.prev"));
    time("openRequest", () => click("#requests-table tbody tr td:nth-child(4)"));
    const nav = performance.getEntriesByType("navigation")[0];
    t.pageLoaded = Math.round(nav ? nav.loadEventEnd : 0);
    let worst = 0, last = performance.now();
    window.scrollTo(0, 0);
    for (let i = 0; i < 60; i++) {
      await new Promise((done) => requestAnimationFrame(done));
      const now = performance.now();
      worst = Math.max(worst, now - last);
      last = now;
      window.scrollBy(0, 120);
    }
    t.longestScrollFrame = Math.round(worst);
    t.rowsInDom = document.querySelectorAll("#requests-table tbody tr").length;
    return t;
  });
}

async function main() {
  const [report, screenshot, ...open] = process.argv.slice(2);
  const url = "file://" + path.resolve(report);
  const browser = await chromium.launch({
    executablePath: process.env.QX_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu"],
  });
  const result = { consoleErrors: [], requests: [], opened: {} };
  try {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    page.on("console", (m) => { if (m.type() === "error" || m.type() === "warning") result.consoleErrors.push(m.type() + ": " + m.text()); });
    page.on("pageerror", (e) => result.consoleErrors.push("page error: " + e.message));
    page.on("request", (r) => { if (r.url() !== url) result.requests.push(r.url()); });
    await page.goto(url, { waitUntil: "load" });
    result.ready = await page.waitForFunction(() => document.body.getAttribute("data-ready") === "1", null,
      { timeout: 30000 }).then(() => true, () => false);
    if (result.ready) {
      result.renderMs = Number(await page.getAttribute("body", "data-render-ms"));
      await tableWork(page, result);
      await otherSections(page, result);
      result.timings = await timings(page);
      for (const p of open) result.opened[p] = await openRequest(page, p);
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.screenshot({ path: screenshot, fullPage: true, clip: { x: 0, y: 0, width: 1400, height: 1500 } });
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
