"""What two runs of the same app must share whatever engine traced them: the command stream
with time stamps, thread ids, mapped ids and object addresses taken out."""

import json

CALL_TYPES = {"BeginCall", "EndCall", "UnwindCall", "ExceptionRaised"}
# Values this large are addresses (objects, handles): they differ from run to run.
ADDRESS_FLOOR = 1 << 32


def scrub(value):
    """A captured value with its addresses replaced by one marker."""
    if isinstance(value, dict):
        return {k: scrub(v) for k, v in value.items()}
    if isinstance(value, list):
        return [scrub(v) for v in value]
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) >= ADDRESS_FLOOR:
        return "address"
    return value


def event(command):
    """One call event as both engines must report it."""
    name = command["name"]
    if name == "ExceptionRaised":
        return (name,)
    entry = [name, command.get("function", "?")]
    if name == "BeginCall":
        entry.append(json.dumps(scrub(command.get("args", [])), sort_keys=True))
    elif name == "EndCall":
        entry.append(command.get("tailCall", False))
        entry.append(json.dumps(scrub(command.get("returnValue")), sort_keys=True))
    return tuple(entry)


def episodes(commands):
    """Each thread's stream cut at its outermost calls, as a sorted list: work that the thread
    pool hands to whichever thread is free compares the same."""
    streams = {}
    depth = {}
    for c in commands:
        if c["name"] not in CALL_TYPES:
            continue
        key = (c["pid"], c["tid"])
        current = streams.setdefault(key, [[]])
        if depth.get(key, 0) == 0 and current[-1] and c["name"] == "BeginCall":
            current.append([])
        current[-1].append(event(c))
        if c["name"] == "BeginCall":
            depth[key] = depth.get(key, 0) + 1
        elif c["name"] in ("EndCall", "UnwindCall"):
            depth[key] = max(0, depth.get(key, 0) - 1)
    return sorted(tuple(e) for stream in streams.values() for e in stream if e)


def traced_names(commands):
    return sorted({c["function"] for c in commands if c["name"] == "BeginCall" and "function" in c})


def method_infos(commands):
    """Each thread's MethodInfo names, as a multiset over all threads."""
    return sorted((c.get("className", ""), c.get("methodName", "")) for c in commands if c["name"] == "MethodInfo")
