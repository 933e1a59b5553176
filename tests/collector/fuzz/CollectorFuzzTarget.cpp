// Feeds arbitrary bytes through everything the collector does with what it receives: the
// stream reassembler (cut into reads of varying size), the command decoder, value records and
// their text and JSON forms, and a whole session with its summary. Built for libFuzzer when the
// compiler offers it, and with the bounded mutation loop of MutationDriver.cpp otherwise.

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/CollectorSession.h"
#include "wire/CommandDecoder.h"
#include "jsonlines/JsonLines.h"
#include "wire/StreamReassembler.h"
#include "wire/ValueRecord.h"

using namespace QuorixCollect;

namespace {

void Exercise(const uint8_t* data, size_t size, DecodedCommand& command, std::string& text) {
    DecodePlainCall(data, size, command);
    command.Reset();
    const DecodeResult result = DecodeCommand(data, size, command);
    if (result.status != DecodeStatus::Ok) return;
    text.clear();
    AppendCommandJson(text, command, nullptr);
    for (const ValueRecord& argument : command.args) text += FormatValue(argument, 40);
    if (command.hasReturnValue) text += FormatValue(command.returnValue);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DecodedCommand command;
    std::string text;

    // The whole input as one datagram or message.
    Exercise(data, size, command, text);

    // The input as a stream, cut into reads whose sizes come from the input itself.
    StreamReassembler stream;
    size_t at = 0;
    size_t step = size == 0 ? 1 : static_cast<size_t>(data[0] % 61) + 1;
    while (at < size) {
        const size_t take = step < size - at ? step : size - at;
        stream.Feed(
            data + at, take, [&](const uint8_t* message, size_t length) { Exercise(message, length, command, text); },
            [](size_t) {});
        at += take;
        step = (step * 7 + 3) % 97 + 1;
    }

    // A whole session, small enough to reach its limits.
    CollectorSession::Options options;
    options.maxMemory = 1 << 20;
    options.maxProcesses = 4;
    options.timeOrder = true;
    options.order.maxProcesses = 3;
    CollectorSession session(options, [](const std::string&) {});
    session.OnDatagram(data, size);
    const size_t half = size / 2;
    session.OnStreamData(1, data, half);
    session.OnStreamData(2, data + half, size - half);
    session.OnStreamData(1, data + half, size - half);
    session.OnStreamClosed(1);
    session.OnStreamClosed(2);
    session.ReleaseHeld();
    CollectorSession::SummaryOptions summary;
    summary.treeLines = 50;
    text = session.RenderSummary(summary);
    return 0;
}
