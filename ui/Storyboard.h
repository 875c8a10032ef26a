#pragma once

#include <string>

class QWidget;

namespace vantrel::storyboard {

// The layout resource "Main": its controllers by identifier. "mainStoryboard" is the progress
// window, "verifyVCSheet" the erase confirmation sheet (attached to `parent`). Null for an
// unknown identifier.
QWidget* instantiateController(const std::string& identifier, QWidget* parent = nullptr);

}  // namespace vantrel::storyboard
