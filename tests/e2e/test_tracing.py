"""Every traced call of a real app reaches the collector, per thread, properly nested, with the
names the mapper builds, and every rule of the trace decision shows in the stream."""

import os
import re
import socket
import subprocess
import time
import unittest

from harness import AgentTestCase, app_command, Collector, agent_env, app_dll, free_port, run_app

BEGIN, END, METHOD_INFO, RAISED, UNWIND, DETAILS = 1, 2, 3, 4, 5, 21
FREQUENCY, PROCESS_STARTED = 11, 9
TRACING = app_dll("Tracing")


class Stream:
    """The call commands of one process, checked and indexed as they are read."""

    def __init__(self, test, commands):
        self.test = test
        starts = [c for c in commands if c["type"] == PROCESS_STARTED]
        test.assertEqual(len(starts), 1)
        pid = starts[0]["pid"]
        self.commands = [c for c in commands if c["pid"] == pid]
        self.names = {}          # function id -> "Class::Method"
        self.announced = set()   # (thread, function id)
        self.begins = {}         # "Class::Method" -> count
        self.ends = {}
        self.open = {}           # thread -> stack of function ids
        self.unwound = {}
        self.info_per_thread = {}
        for c in self.commands:
            t, tid = c["type"], c["tid"]
            if t == METHOD_INFO:
                key = (tid, c["functionId"])
                test.assertNotIn(key, self.announced, "method information sent twice without an entry point")
                self.announced.add(key)
                self.names[c["functionId"]] = c["className"] + "::" + c["methodName"]
                self.info_per_thread.setdefault(c["className"] + "::" + c["methodName"], []).append(tid)
            elif t == BEGIN:
                fid = c["functionId"]
                test.assertIn((tid, fid), self.announced, "begin-call before method information")
                self.open.setdefault(tid, []).append(fid)
                self.bump(self.begins, fid)
            elif t in (END, UNWIND):
                stack = self.open.get(tid, [])
                test.assertTrue(stack, "end without begin: %r" % c)
                test.assertEqual(stack[-1], c["functionId"], "frames not nested: %r" % c)
                stack.pop()
                self.bump(self.ends if t == END else self.unwound, c["functionId"])
            elif t == FREQUENCY:
                # An entry point starts the thread afresh: its functions are announced again.
                pass

    def bump(self, table, fid):
        name = self.names.get(fid, str(fid))
        table[name] = table.get(name, 0) + 1

    def reset_thread(self, tid):
        self.announced = {k for k in self.announced if k[0] != tid}

    def traced(self, name):
        return name in self.names.values()

    def open_frames(self, prefix):
        return [self.names.get(f) for stack in self.open.values() for f in stack
                if self.names.get(f, "").startswith(prefix)]


class Tracing(AgentTestCase):
    def profile(self, transport, args=("basic",), overrides=None, **settings):
        port = free_port()
        collector = Collector(self.workdir, transport, port)
        if overrides is not None:
            path = os.path.join(self.workdir, "overrides.txt")
            with open(path, "w") as f:
                f.write(overrides)
            settings["MORVEL_USER_OVERRIDES_FILE"] = path
        env = agent_env(transport, port, **settings)
        profiled = run_app([TRACING] + list(args), env, self.workdir)
        commands = collector.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        return profiled, commands

    @staticmethod
    def drop_repeats_after_entry_points(commands):
        """Method information re-sent after an entry point is checked separately; keep the first."""
        seen, result = set(), []
        for c in commands:
            if c["type"] == METHOD_INFO:
                key = (c["tid"], c["functionId"])
                if key in seen:
                    continue
                seen.add(key)
            result.append(c)
        return result

    def check_basic(self, transport):
        # A nested type has no namespace of its own, so it is traced only when a list says so.
        profiled, commands = self.profile(transport, overrides="L-Shop.Errors.Thrower::Blacklisted\n+Shelf::Place\n")
        self.assertUnchangedRun(profiled, [TRACING, "basic"])
        s = Stream(self, self.drop_repeats_after_entry_points(commands))
        for name in ["Shop.Inventory.Warehouse::Restock", "Shop.Inventory.Warehouse+Shelf::Place",
                     "Shop.Inventory.Helpers::Audit", "Shop.Inventory.Helpers::Factorial",
                     "Shop.Inventory.Box`1::Unwrap", "Shop.Inventory.Box`1::Map", "Shop.Billing.Invoice::Total",
                     "Shop.Hidden.Secrets::Visible", "Shop.Errors.Thrower::Deep", "Shop.Errors.Thrower::Catch",
                     "Shop.Program::Main", "System.Threading.Thread::Sleep",
                     "System.Web.Hosting.PipelineRuntime::ProcessRequestNotification"]:
            self.assertTrue(s.traced(name), name + " not traced")
        for name in ["Shop.Inventory.Warehouse::.ctor", "Shop.Inventory.Warehouse::get_Count",
                     "Shop.Inventory.Warehouse::set_Count", "NoNamespace::Run", "Shop.Hidden.Secrets::Hidden",
                     "Shop.Hidden.Vault::Open", "Shop.Errors.Thrower::Blacklisted",
                     "Corvanine.Quorix4Net.APM::Enable", "Corvanine.Quorix4Net.APM::Disable"]:
            self.assertFalse(s.traced(name), name + " traced")
        self.assertFalse([n for n in s.names.values() if n.startswith("System.Collections.")])
        # Mapped ids count from 101; every begin has its end or its unwind.
        self.assertTrue(all(fid >= 101 for fid in s.names))
        self.assertEqual(s.begins.get("Shop.Inventory.Helpers::Factorial"), 5 + 3)
        self.assertEqual(s.open_frames("Shop."), [])
        # Exceptions: one raised per throw, each unwound frame reported, the catching frame ends.
        self.assertEqual(len([c for c in s.commands if c["type"] == RAISED]), 2)
        self.assertEqual(s.unwound.get("Shop.Errors.Thrower::Deep"), 4 + 3)
        self.assertEqual(s.ends.get("Shop.Errors.Thrower::Catch"), 1)
        self.assertEqual(s.ends.get("Shop.Errors.Thrower::CatchBlacklisted"), 1)
        # The calls after the unwound blacklisted frame are reported as usual.
        self.assertEqual(s.begins.get("Shop.Inventory.Helpers::Audit"), s.ends.get("Shop.Inventory.Helpers::Audit"))
        return s, commands

    def test_tcp_stream_is_complete_nested_and_named(self):
        s, commands = self.check_basic("tcp")
        # The entry point re-sends the frequency (the other two announcements are throttled)
        # and starts the thread afresh: Audit is announced again after it.
        frequencies = [i for i, c in enumerate(commands) if c["type"] == FREQUENCY]
        self.assertEqual(len(frequencies), 2)
        repeated = [c for c in commands if c["type"] == METHOD_INFO and c["methodName"] == "Audit"]
        self.assertEqual(len(repeated), 2)
        self.assertGreater(commands.index(repeated[1]), frequencies[1])

    def test_pipe_stream_is_complete_nested_and_named(self):
        self.check_basic("pipe")

    def test_system_functions_reach_the_hooks_with_their_client_ids_and_stay_silent(self):
        logdir = os.path.join(self.workdir, "log")
        profiled, commands = self.profile("tcp", MORVEL_DEBUG_LOGLEVEL="Trace", MORVEL_ERROR_LOG_FOLDER=logdir)
        log = open(os.path.join(logdir, os.listdir(logdir)[0])).read()
        self.assertIn("Located system function Corvanine.Quorix4Net.APM::Enable : 0", log)
        # This runtime hands the client id 0 back to the hooks as it is (no substitution).
        self.assertIn("[Enter] System function Corvanine.Quorix4Net.APM::Enable entered with client id 0", log)
        self.assertIn("Located system function Corvanine.Quorix4Net.APM::Disable : 1", log)
        self.assertIn("[Enter] System function Corvanine.Quorix4Net.APM::Disable entered with client id 1", log)
        self.assertFalse([c for c in commands if c.get("function", "").startswith("Corvanine.")])

    def test_udp_loss_is_measured_not_asserted(self):
        profiled, commands = self.profile("udp", args=("stress", "--threads", "4", "--ms", "1500"))
        calls = int(profiled.stdout.split("stress calls ")[1].split()[0])
        begins = len([c for c in commands if c["type"] == BEGIN and c.get("function", "").startswith("Shop.Workload")])
        loss = 1 - begins / calls if calls else 0
        print("\nUDP: %d calls, %d begin-calls received, loss %.2f%%" % (calls, begins, 100 * loss))

    def test_user_overrides_change_what_is_traced(self):
        overrides = "\n".join([
            "+Shop.Inventory.Warehouse::get_",      # a property getter becomes traced
            "-Shop.Billing.",                        # a namespace is no longer traced
            "Shop.Hidden.Secrets::Vis",              # a bare line blacklists too
            "L-Shop.Inventory.Helpers::Factorial",   # calls silenced at call time
            "Lib.Short",                             # starts with L but not L-: ignored
        ]) + "\n"
        profiled, commands = self.profile("tcp", overrides=overrides, MORVEL_DEBUG_LOGLEVEL="Info",
                                          MORVEL_ERROR_LOG_FOLDER=os.path.join(self.workdir, "log"))
        s = Stream(self, self.drop_repeats_after_entry_points(commands))
        self.assertTrue(s.traced("Shop.Inventory.Warehouse::get_Count"))
        self.assertFalse(s.traced("Shop.Inventory.Warehouse::set_Count"))
        self.assertFalse(s.traced("Shop.Billing.Invoice::Total"))
        self.assertFalse(s.traced("Shop.Hidden.Secrets::Visible"))
        self.assertNotIn("Shop.Inventory.Helpers::Factorial", s.begins)  # mapped, never reported
        self.assertTrue(s.traced("Shop.Inventory.Helpers::Audit"))
        log = open(os.path.join(self.workdir, "log", os.listdir(os.path.join(self.workdir, "log"))[0])).read()
        self.assertIn("there are 1 whitelist, 2 blacklist entries (user), 1 blacklist entries (live)", log)

    def test_many_threads_lose_nothing_over_tcp(self):
        # A bounded number of steps: a collector slower than sixteen threads for seconds on end would
        # be a backlog beyond the agent's memory bound, where dropping (counted) is the right thing.
        profiled, commands = self.profile("tcp", args=("stress", "--threads", "16", "--ms", "3000", "--steps", "20000"))
        calls = int(profiled.stdout.split("stress calls ")[1].split()[0])
        s = Stream(self, self.drop_repeats_after_entry_points(commands))
        workload = sum(v for k, v in s.begins.items() if k.startswith("Shop.Workload::"))
        self.assertEqual(workload, calls)
        self.assertEqual(s.open_frames("Shop."), [])
        self.assertGreaterEqual(len({c["tid"] for c in s.commands if c["type"] == BEGIN}), 16)

    def test_exit_is_not_held_by_an_absent_or_stalled_collector(self):
        """The end of the process is announced last; what a collector cannot take is logged, not waited for."""
        for transport in ("udp", "tcp"):
            port = free_port()
            logs = os.path.join(self.workdir, "exit-log-" + transport)
            listener = None
            if transport == "tcp":
                # Accepts but never reads: the agent's writes fill the socket and then wait in vain.
                listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                listener.bind(("127.0.0.1", port))
                listener.listen(4)
            try:
                profiled = run_app([TRACING, "exit-busy", "--threads", "8", "--code", "7"],
                                   agent_env(transport, port, MORVEL_ERROR_LOG_FOLDER=logs, MORVEL_DEBUG_LOGLEVEL="Info"),
                                   self.workdir)
            finally:
                if listener is not None:
                    listener.close()
            self.assertEqual(profiled.returncode, 7, transport + ": " + profiled.stderr)
            self.assertEqual(profiled.stderr, "")
            log = open(os.path.join(logs, os.listdir(logs)[0])).read()
            delivery = re.search(r"\[Finalize\] Delivery: (\d+) messages sent, (\d+) failed", log)
            self.assertIsNotNone(delivery, transport)
            if transport == "tcp":
                self.assertGreater(int(delivery.group(2)), 0)  # given up on, and said so

    def test_process_end_is_the_last_message_on_every_transport(self):
        # Streams only: a datagram may be lost in a busy collector's socket. Two busy threads: on
        # two cores, more of them spinning through the exit starve the collector, which must read
        # what is ahead of the last message within the agent's exit budget.
        for transport in ("tcp", "pipe"):
            port = free_port()
            collector = Collector(self.workdir, transport, port)
            profiled = run_app([TRACING, "exit-busy", "--threads", "2", "--code", "3"], agent_env(transport, port),
                               self.workdir)
            commands = collector.stop()
            self.assertEqual(profiled.returncode, 3, transport)
            ended = [i for i, c in enumerate(commands) if c["type"] == 10]
            self.assertEqual(len(ended), 1, transport)
            self.assertEqual(ended[0], len(commands) - 1, transport)

    def test_exit_while_threads_are_inside_traced_functions(self):
        for transport in ("tcp", "pipe", "udp"):
            port = free_port()
            collector = Collector(self.workdir, transport, port)
            profiled = run_app([TRACING, "exit-busy", "--threads", "8", "--code", "5"], agent_env(transport, port),
                               self.workdir)
            commands = collector.stop()
            self.assertEqual(profiled.returncode, 5, transport + ": " + profiled.stderr)
            self.assertEqual(profiled.stderr, "")
            self.assertIn("exiting while busy", profiled.stdout)
            self.assertTrue([c for c in commands if c["type"] == BEGIN], transport)

    def test_thread_churn_leaves_no_thread_state_behind(self):
        logdir = os.path.join(self.workdir, "log")
        profiled, commands = self.profile("tcp", args=("churn", "--threads", "300"), MORVEL_DEBUG_LOGLEVEL="Info",
                                          MORVEL_ERROR_LOG_FOLDER=logdir)
        s = Stream(self, self.drop_repeats_after_entry_points(commands))
        self.assertEqual(s.begins.get("Shop.Workload::Step"), 300)
        log = open(os.path.join(logdir, os.listdir(logdir)[0])).read()
        left = int(log.split("Live thread contexts at the end: ")[1].split()[0])
        self.assertLess(left, 20, "per-thread state grows with thread churn")


class Exceptions(AgentTestCase):
    """What each thrown exception says about itself: sent only when asked for, right after its raise."""

    # The app's throws in order: type, message (None: the exception has none), whether it was cut.
    EXPECTED = [
        ("System.InvalidOperationException", "Order 7 has no lines", False),
        ("Shop.Errors.Refused`1", "refused 3 of int", False),
        ("Shop.Errors.Faults+Silent", None, False),
        ("System.ArgumentException", "cannot connect: Server=db;Password=***;Database=shop", False),
        ("System.InvalidOperationException", ("long " + "x" * 5000)[:2048], True),
        ("Shop.Errors.Faults+Shadowing", "the exception's own", False),
        ("System.InvalidOperationException", "Bestellung f\u00fcr J\u00fcrgen \u20ac", False),
    ]

    def profile(self, **settings):
        port = free_port()
        collector = Collector(self.workdir, "tcp", port)
        profiled = run_app([TRACING, "exceptions"], agent_env("tcp", port, **settings), self.workdir)
        commands = collector.stop()
        self.assertUnchangedRun(profiled, [TRACING, "exceptions"])
        pid = [c for c in commands if c["type"] == PROCESS_STARTED][0]["pid"]
        return [c for c in commands if c["pid"] == pid]

    def test_each_throw_is_followed_by_its_type_and_message(self):
        commands = self.profile(MORVEL_REPORT_EXCEPTIONS="1")
        threads = {}
        for c in commands:
            threads.setdefault(c["tid"], []).append(c)
        details = []
        for stream in threads.values():
            for i, c in enumerate(stream):
                if c["type"] == RAISED:
                    following = stream[i + 1] if i + 1 < len(stream) else {}
                    self.assertEqual(following.get("type"), DETAILS, "raise without its details: %r" % c)
                    self.assertEqual(following["exceptionId"], c["exceptionId"])
                    details.append(following)
                elif c["type"] == DETAILS:
                    self.assertEqual(stream[i - 1]["type"], RAISED, "details without their raise: %r" % c)
        seen = [(d["exceptionType"], d["message"], d["messageCut"]) for d in details]
        # In order among whatever else the runtime throws and catches for itself.
        at = 0
        for expected in self.EXPECTED:
            self.assertIn(expected, seen[at:], "\n".join(map(repr, seen)))
            at = seen.index(expected, at) + 1
        self.assertIn("System.DivideByZeroException", [t for t, _, _ in seen[at:]])

    def test_no_details_unless_asked_for(self):
        commands = self.profile()
        self.assertGreaterEqual(len([c for c in commands if c["type"] == RAISED]), 8)
        self.assertEqual([c for c in commands if c["type"] == DETAILS], [])


class LiveBlacklist(AgentTestCase):
    def test_line_appended_while_running_silences_calls_within_a_minute(self):
        port = free_port()
        collector = Collector(self.workdir, "tcp", port)
        path = os.path.join(self.workdir, "overrides.txt")
        with open(path, "w") as f:
            f.write("-Shop.Nothing.\n")
        env = agent_env("tcp", port, MORVEL_USER_OVERRIDES_FILE=path)
        app = subprocess.Popen(app_command([TRACING, "live", "--seconds", "72"]), env=env, cwd=self.workdir,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(3)
        with open(path, "a") as f:
            f.write("L-Shop.Live.Ticker::Tick\n")
        out, err = app.communicate(timeout=180)
        commands = collector.stop()
        self.assertEqual(app.returncode, 0, err)
        ticks = [c for c in commands if c["type"] == BEGIN and c.get("function") == "Shop.Live.Ticker::Tick"]
        ends = [c for c in commands if c["type"] == END and c.get("function") == "Shop.Live.Ticker::Tick"]
        self.assertGreater(len(ticks), 10)
        self.assertEqual(len(ticks), len(ends))
        last = ticks[-1]["ts"] / 1e6
        end = [c for c in commands if c["type"] == 10][0]["ts"] / 1e6
        # Refreshed once a minute: well before the end of the 72-second run the calls stop.
        self.assertLess(last, end - 5, "calls were not silenced")
        self.assertLess(len(ticks), 72 * 5 - 20)


if __name__ == "__main__":
    unittest.main()
