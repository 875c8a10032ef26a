#pragma once

#include <string>

#include "base/WindowHost.h"

class QWidget;

namespace vantrel::storyboard {

// The layout resource "Main": its controllers by identifier. "mainStoryboard" is the progress
// window, "verifyVCSheet" the erase confirmation sheet (attached to `parent`). Null for an
// unknown identifier. The controllers use the program through `services`, which outlive them.
QWidget* instantiateController(const WindowServices& services, const std::string& identifier,
                               QWidget* parent = nullptr);

}  // namespace vantrel::storyboard
