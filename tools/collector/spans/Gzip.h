#pragma once

#include <string>

namespace QuorixCollect {

// `in` as one gzip member (RFC 1952), for a request's Content-Encoding: gzip. False only when
// zlib cannot get its memory.
bool GzipCompress(const std::string& in, std::string& out, int level);

}  // namespace QuorixCollect
