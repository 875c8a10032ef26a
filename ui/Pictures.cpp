#include "ui/Pictures.h"

#include <QString>

#include "platform/Host.h"

namespace vantrel {

QPixmap picture(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.' ||
        !platform::macConfigured()) {
        return {};
    }
    const auto file = platform::appBundle() / "Contents" / "Resources" / (name + ".png");
    QPixmap pixmap;
    if (!pixmap.load(QString::fromStdString(file.string()), "PNG")) {
        return {};
    }
    return pixmap;
}

}  // namespace vantrel
