#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::net {

// What the headers of the response being received say about continuing a file: its
// validators and, for a partial answer, where its bytes start. Fed one header line at a time;
// a status line starts a new response (after a redirect) and forgets the last one's.
struct ResumeHeaders {
    std::string etag;          // as sent, quotes included; a weak one ("W/...") is not kept
    std::string lastModified;  // as sent
    std::optional<std::int64_t> rangeStart;  // first byte of "Content-Range: bytes A-B/N"

    void note(std::string_view headerLine);
    // What guards a range request for more of this file (If-Range): the ETag, else the
    // Last-Modified date; empty when the server gave neither.
    std::string validator() const;
};

// The request headers that ask for the rest of a file from byte `offset` on, only if it is
// still the file that `validator` names.
std::string rangeHeader(std::int64_t offset);
std::string ifRangeHeader(const std::string& validator);

}  // namespace vantrel::net
