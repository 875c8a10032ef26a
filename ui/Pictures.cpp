#include "ui/Pictures.h"

#include <QString>

namespace vantrel {

QPixmap picture(const std::filesystem::path& resourcesFolder, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.' ||
        resourcesFolder.empty()) {
        return {};
    }
    const auto file = resourcesFolder / (name + ".png");
    QPixmap pixmap;
    if (!pixmap.load(QString::fromStdString(file.string()), "PNG")) {
        return {};
    }
    return pixmap;
}

}  // namespace vantrel
