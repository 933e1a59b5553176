#include "transport/ListenerParts.h"

namespace QuorixCollect {

using namespace ListenerParts;

size_t ListenerBufferBytes(const CollectorOptions& options) {
    switch (options.transport) {
        case Transport::Udp:
            return DatagramBatch * DatagramSlot;
        // One read buffer, and at most one partial command per connection.
        case Transport::Tcp:
            return ReadChunk + options.maxConnections * MaxCommandLength;
        case Transport::Pipe:
            return ReadChunk + MaxCommandLength;
    }
    return 0;
}

std::unique_ptr<Listener> MakeListener(const CollectorOptions& options) {
    switch (options.transport) {
        case Transport::Udp:
            return MakeUdpListener(options);
        case Transport::Tcp:
            return MakeTcpListener(options);
        case Transport::Pipe:
            return MakePipeListener(options);
    }
    return nullptr;
}

}  // namespace QuorixCollect
