#pragma once

#include <memory>

#include "platform/NetworkLibrary.h"

// The network plug-in's parts: the program's network interfaces over libcurl.
namespace vantrel::net {

std::unique_ptr<platform::DocumentFetcher> makeCurlDocumentFetcher();
std::unique_ptr<platform::TransferGroup> makeCurlTransferGroup();

}  // namespace vantrel::net
