#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "platform/MacRoot.h"

namespace vantrel::platform {

// Moves the item at `from` to `to`, replacing what stands there, so that a kill at any moment
// leaves a whole item at `to` (the old or the new one) or a whole new one still at `from`,
// and never a half-copied or half-deleted one under either name:
// - when a rename cannot get there (another volume), `from` is copied into a private folder
//   beside `to` (".vantrel-placing-"), synced to disk, and only then renamed into place; the
//   source is then moved out of sight into a private folder beside it (".vantrel-removing-")
//   and deleted there;
// - an old item at `to` is first moved into a private folder beside it (".vantrel-replaced-") and
//   deleted there once the new one stands; if the new one cannot be put in place, the old
//   one is put back.
// On failure nothing has changed: `from` and an old `to` are where they were.
// `afterStep`, when given, is called with the name of each step after it is done (tests look
// at the disk there, as a kill at that moment would leave it).
std::optional<Error> placeItem(const MacRoot& root, const std::string& from, const std::string& to,
                               const std::function<void(std::string_view)>& afterStep = {});

// Removes what placeItem leaves behind when it is killed: its private folders in `folder`.
void removePlacementLeftovers(const MacRoot& root, const std::string& folder);

}  // namespace vantrel::platform
