// The report's first view: the requests, as a table that sorts, filters, groups and pages, and the
// detail of one request. report.js mounts it with the page's data and its small helpers.
(function () {
  "use strict";
  const FINDINGS = ["n_plus_one", "duplicate", "slow_sql", "slow_request", "failed"];
  let el, micros, pager;

  function ms(v) { return micros((v || 0) * 1000); }
  function tag(text, cls, title) {
    const s = el("span", { class: "tag " + (cls || "") }, text);
    if (title) s.title = title;
    return s;
  }
  function cell(text, cls) { return el("td", cls ? { class: cls } : {}, text === undefined ? "" : String(text)); }
  function statusClass(r) { return r.status >= 100 && r.status < 600 ? Math.floor(r.status / 100) + "xx" : "none"; }
  function noteOf(r, finding) {
    const n = r.notes.find((x) => x.finding === finding);
    return n ? n.text : "";
  }

  // Sorting by a header's key: numbers start with the largest, texts with A.
  function sortable(table, state, keyName, descName, values, render) {
    const heads = [...table.querySelectorAll("th[data-key]")];
    heads.forEach((th) => th.addEventListener("click", () => {
      const key = th.getAttribute("data-key");
      if (state[keyName] === key) {
        state[descName] = !state[descName];
      } else {
        state[keyName] = key;
        state[descName] = th.classList.contains("num") && key !== "id" || key === "findingCount";
      }
      render(true);
    }));
    return {
      apply(rows) {
        const get = values[state[keyName]];
        const dir = state[descName] ? -1 : 1;
        const keyed = rows.map((r) => [get(r), r]);
        keyed.sort((a, b) => (a[0] < b[0] ? -dir : a[0] > b[0] ? dir : 0));
        heads.forEach((th) => th.setAttribute("aria-sort", th.getAttribute("data-key") !== state[keyName] ? "none" :
          state[descName] ? "descending" : "ascending"));
        return keyed.map((k) => k[1]);
      },
    };
  }

  const requestValues = {
    id: (r) => r.id, start: (r) => r.startNs, method: (r) => r.method || "", path: (r) => r.path || r.name || "",
    status: (r) => r.status || 0, durationMs: (r) => r.durationMs, sqlCount: (r) => r.sqlCount, sqlMs: (r) => r.sqlMs,
    httpCount: (r) => r.http.length, redisCount: (r) => r.redis.length, findingCount: (r) => r.findings.length,
  };
  const groupValues = {
    endpoint: (g) => g.endpoint, count: (g) => g.count, failed: (g) => g.failed, p50: (g) => g.p50, p95: (g) => g.p95,
    max: (g) => g.max, sqlCount: (g) => g.sqlCount, findingCount: (g) => g.findingCount,
  };

  // Everything a text filter looks through, made once per request and only when asked.
  function searchText(r) {
    if (r.qxText === undefined) {
      const parts = [r.method, r.path, r.query, r.endpoint, r.name, r.host, r.status ? String(r.status) : ""];
      r.sql.forEach((s) => parts.push(s.text));
      r.http.forEach((h) => parts.push(h.url));
      r.redis.forEach((c) => parts.push(c.command, c.key));
      r.exceptions.forEach((e) => parts.push(e.type, e.message, e.thrownIn));
      parts.push(...r.findings);
      r.qxText = parts.filter(Boolean).join("\n").toLowerCase();
    }
    return r.qxText;
  }

  function percentile(sorted, p) { return sorted[Math.max(0, Math.ceil(p * sorted.length) - 1)]; }

  function endpointGroups(rows) {
    const map = new Map();
    rows.forEach((r) => {
      let g = map.get(r.endpoint);
      if (!g) map.set(r.endpoint, (g = { endpoint: r.endpoint, durations: [], failed: 0, sql: 0, findings: {} }));
      g.durations.push(r.durationMs);
      g.failed += r.findings.includes("failed") ? 1 : 0;
      g.sql += r.sqlCount;
      r.findings.forEach((f) => { g.findings[f] = (g.findings[f] || 0) + 1; });
    });
    return [...map.values()].map((g) => {
      g.durations.sort((a, b) => a - b);
      g.count = g.durations.length;
      g.p50 = percentile(g.durations, 0.5);
      g.p95 = percentile(g.durations, 0.95);
      g.max = g.durations[g.count - 1];
      g.sqlCount = g.sql / g.count;
      g.findingCount = Object.values(g.findings).reduce((a, b) => a + b, 0);
      return g;
    });
  }

  function requestRow(r) {
    const tr = el("tr", { "data-i": String(r.qxIndex), class: "request" });
    const path = cell((r.path || r.name || "?") + (r.query || ""), "path");
    path.title = r.endpoint;
    const status = cell(r.status || "—", "num status s" + statusClass(r));
    tr.append(cell(r.id, "num"), cell(r.start ? r.start.slice(11, 23) : "", "time"), cell(r.method || "—"), path, status,
      cell(ms(r.durationMs), "num"), cell(r.sqlCount, "num"), cell(r.sqlCount ? ms(r.sqlMs) : "", "num"),
      cell(r.http.length, "num"), cell(r.redis.length, "num"));
    const tags = el("td", { class: "tags" });
    r.findings.forEach((f) => tags.appendChild(tag(f, "f-" + f, noteOf(r, f))));
    if (!r.complete) tags.appendChild(tag("cut short", "cut", "collection ended before it did, or it never settled"));
    tr.appendChild(tags);
    return tr;
  }

  function groupRow(g) {
    const tr = el("tr", { class: "endpoint" });
    tr.append(cell(g.endpoint, "path"), cell(g.count.toLocaleString("en"), "num"), cell(g.failed || "", "num"),
      cell(ms(g.p50), "num"), cell(ms(g.p95), "num"), cell(ms(g.max), "num"),
      cell(g.sqlCount ? g.sqlCount.toFixed(g.sqlCount < 10 ? 1 : 0) : "", "num"));
    const tags = el("td", { class: "tags" });
    FINDINGS.forEach((f) => { if (g.findings[f]) tags.appendChild(tag(f + " ×" + g.findings[f], "f-" + f)); });
    tr.appendChild(tags);
    tr.qxEndpoint = g.endpoint;
    return tr;
  }

  function fillFilters(requests, status, finding) {
    // Filled anew as live requests come: the counts change, the choice stays.
    const chosen = [status.value, finding.value];
    [status, finding].forEach((s) => { while (s.options.length > 1) s.remove(1); });
    const classes = {}, found = {};
    let any = 0;
    requests.forEach((r) => {
      const c = statusClass(r);
      classes[c] = (classes[c] || 0) + 1;
      r.findings.forEach((f) => { found[f] = (found[f] || 0) + 1; });
      any += r.findings.length ? 1 : 0;
    });
    ["2xx", "3xx", "4xx", "5xx", "1xx", "none"].forEach((c) => {
      if (classes[c]) status.appendChild(el("option", { value: c }, (c === "none" ? "no status" : c) + " (" + classes[c] + ")"));
    });
    finding.appendChild(el("option", { value: "any" }, "with findings (" + any + ")"));
    finding.appendChild(el("option", { value: "none" }, "without findings (" + (requests.length - any) + ")"));
    FINDINGS.forEach((f) => {
      if (found[f]) finding.appendChild(el("option", { value: f }, f + " (" + found[f] + ")"));
    });
    [status.value, finding.value] = chosen;
  }
  // Requests the live page holds at most: beyond, its oldest go (and are counted).
  const LIVE_KEEP = 50000;

  // --- the table ---
  function mount(data, tools) {
    ({ el, micros, pager } = tools);
    const requests = data.requests || [];
    requests.forEach((r, i) => { r.qxIndex = i; });
    const $ = (id) => document.getElementById(id);
    const search = $("requests-search"), status = $("requests-status"), finding = $("requests-finding");
    const group = $("requests-group"), note = $("requests-note"), chip = $("requests-endpoint");
    const table = $("requests-table"), groups = $("endpoints-table");
    const view = { sort: "id", desc: false, groupSort: "count", groupDesc: true, endpoint: null, open: -1 };
    const live = { on: false, letGo: 0, dropped: 0 };
    const pages = pager($("requests-pager"), () => render(false));
    const sortRequests = sortable(table, view, "sort", "desc", requestValues, render);
    const sortGroups = sortable(groups, view, "groupSort", "groupDesc", groupValues, render);
    const detail = window.QxRequestDetail;
    fillFilters(requests, status, finding);

    function filtered() {
      const q = search.value.trim().toLowerCase(), st = status.value, fi = finding.value;
      return requests.filter((r) => {
        if (view.endpoint !== null && r.endpoint !== view.endpoint) return false;
        if (st && statusClass(r) !== st) return false;
        if (fi === "any" ? !r.findings.length : fi === "none" ? r.findings.length : fi && !r.findings.includes(fi)) return false;
        return !q || searchText(r).includes(q);
      });
    }
    function render(fromStart) {
      if (fromStart) pages.reset();
      const rows = filtered();
      table.hidden = group.checked;
      groups.hidden = !group.checked;
      const body = (group.checked ? groups : table).querySelector("tbody");
      const list = group.checked ? sortGroups.apply(endpointGroups(rows)) : sortRequests.apply(rows);
      const fragment = document.createDocumentFragment();
      pages.slice(list).forEach((x) => {
        const tr = group.checked ? groupRow(x) : requestRow(x);
        if (!group.checked && x.qxIndex === view.open) tr.classList.add("open");
        fragment.appendChild(tr);
      });
      body.textContent = "";
      body.appendChild(fragment);
      note.textContent = requests.length === 0 ? "No request was seen." :
        rows.length.toLocaleString("en") + " of " + requests.length.toLocaleString("en") + " requests" +
        (group.checked ? " in " + list.length.toLocaleString("en") + " endpoints" : "");
      if (live.on && (live.letGo || live.dropped)) {
        note.textContent += "; " + (live.letGo + live.dropped).toLocaleString("en") +
          " older requests let go (the collector's memory bound" + (live.dropped ? ", and this page's " + LIVE_KEEP : "") + ")";
      }
      chip.textContent = "";
      if (view.endpoint !== null) {
        const clear = el("button", { type: "button", class: "chip" }, view.endpoint + " ✕");
        clear.title = "show every endpoint";
        clear.addEventListener("click", () => { view.endpoint = null; render(true); });
        chip.appendChild(clear);
      }
    }
    function open(i) {
      view.open = i;
      table.querySelectorAll("tr.open").forEach((tr) => tr.classList.remove("open"));
      const tr = table.querySelector("tr[data-i='" + i + "']");
      if (tr) tr.classList.add("open");
      detail.show($("request-detail"), requests[i], { el, micros, tag, ms, noteOf, close: () => { view.open = -1; render(false); } });
    }
    table.querySelector("tbody").addEventListener("click", (event) => {
      const tr = event.target.closest("tr[data-i]");
      if (tr) open(Number(tr.getAttribute("data-i")));
    });
    groups.querySelector("tbody").addEventListener("click", (event) => {
      const tr = event.target.closest("tr.endpoint");
      if (!tr) return;
      view.endpoint = tr.qxEndpoint;
      group.checked = false;
      render(true);
    });
    [search, status, finding, group].forEach((c) => c.addEventListener(c === search ? "input" : "change", () => render(true)));
    render(true);
    // Live requests: appended as the collector sends them, the views kept as they are.
    function add(rows, letGo) {
      const changed = !live.on || letGo !== live.letGo;
      live.on = true;
      live.letGo = letGo;
      if (!rows.length) return changed ? render(false) : undefined;
      rows.forEach((r) => requests.push(r));
      if (requests.length > LIVE_KEEP) {
        const gone = requests.length - LIVE_KEEP;
        requests.splice(0, gone);
        live.dropped += gone;
        view.open = view.open >= gone ? view.open - gone : -1;
      }
      requests.forEach((r, i) => { r.qxIndex = i; });
      fillFilters(requests, status, finding);
      render(false);
    }
    return { open, add, get count() { return requests.length; } };
  }

  window.QxRequests = { mount };
})();
