#pragma once

#include <memory>

#include "net/NetworkLibrary.h"

// The network plug-in's parts: the program's network interfaces over libcurl.
namespace vantrel::net {

std::unique_ptr<net::DocumentFetcher> makeCurlDocumentFetcher();
std::unique_ptr<net::TransferGroup> makeCurlTransferGroup();

}  // namespace vantrel::net
