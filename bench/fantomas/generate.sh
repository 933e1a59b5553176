#!/usr/bin/env bash
# Writes a deterministic folder of F# sources for the formatter benchmark: FILES files (default
# 150) of BLOCKS blocks (default 12, about 25 lines each) of ordinary domain code — records,
# unions, pattern matches, pipelines, computation expressions — with names varied per file so no
# two files are alike. Same arguments, same bytes.
set -euo pipefail
out="$1"; files="${2:-150}"; blocks="${3:-12}"
mkdir -p "$out"
awk -v out="$out" -v files="$files" -v blocks="$blocks" '
function pick(list, i,   parts, n) { n = split(list, parts, " "); return parts[(i % n) + 1] }
BEGIN {
  nouns = "Order Invoice Customer Shipment Ledger Account Payment Basket Parcel Route Ticket Booking Meter Tariff Claim"
  verbs = "validate price schedule settle reconcile dispatch audit merge split rank"
  fields = "amount quantity weight distance score rate limit total count margin"
  for (f = 0; f < files; f++) {
    ns = pick(nouns, f) pick(nouns, f * 7 + 3)
    path = sprintf("%s/%s%03d.fs", out, ns, f)
    printf "namespace Bench.Generated.%s%d\n\nopen System\nopen System.Collections.Generic\n\n", ns, f > path
    for (b = 0; b < blocks; b++) {
      k = f * blocks + b
      n = pick(nouns, k) b; v = pick(verbs, k); a = pick(fields, k); c = pick(fields, k + 3)
      printf "/// %s records as the %s step sees them.\n", n, v > path
      printf "type %sRecord =\n    { Id: int\n      Name: string\n      %s: decimal\n      %s: int\n      Tags: string list }\n\n", n, toupper(substr(a,1,1)) substr(a,2), toupper(substr(c,1,1)) substr(c,2) > path
      printf "type %sOutcome =\n    | Accepted of %sRecord\n    | Rejected of reason: string\n    | Deferred of days: int * note: string option\n\n", n, n > path
      printf "module %sRules =\n", n > path
      printf "    let %s%d (items: %sRecord list) =\n", v, b, n > path
      printf "        items\n        |> List.filter (fun r -> r.%s > %dm && not (String.IsNullOrWhiteSpace r.Name))\n", toupper(substr(a,1,1)) substr(a,2), (k % 97) > path
      printf "        |> List.sortBy (fun r -> r.%s, r.Id)\n        |> List.map (fun r -> { r with Tags = \"%s\" :: r.Tags })\n\n", toupper(substr(c,1,1)) substr(c,2), v > path
      printf "    let classify (r: %sRecord) : %sOutcome =\n        match r.%s, r.Tags with\n", n, n, toupper(substr(c,1,1)) substr(c,2) > path
      printf "        | n, _ when n < 0 -> Rejected \"negative %s\"\n        | 0, [] -> Deferred(%d, None)\n", c, (k % 13) + 1 > path
      printf "        | n, tag :: _ when tag.StartsWith \"%s\" -> Deferred(n %% 7, Some tag)\n        | _ -> Accepted r\n\n", substr(v, 1, 3) > path
      printf "    let summarise (items: %sRecord seq) =\n        let totals = Dictionary<string, decimal>()\n", n > path
      printf "        for r in items do\n            let key = if r.Name.Length > %d then r.Name.Substring(0, %d) else r.Name\n", (k % 5) + 2, (k % 5) + 2 > path
      printf "            match totals.TryGetValue key with\n            | true, sum -> totals.[key] <- sum + r.%s\n            | _ -> totals.[key] <- r.%s\n", toupper(substr(a,1,1)) substr(a,2), toupper(substr(a,1,1)) substr(a,2) > path
      printf "        [ for KeyValue(name, sum) in totals -> sprintf \"%%s=%%M\" name sum ] |> String.concat \", \"\n\n" > path
    }
    close(path)
  }
}'
