#include "ui/WindowShaker.h"

#include <QWidget>

namespace vantrel {

namespace {
// 2% as the single-precision value it is on a Mac, taken to double precision.
constexpr double kSwing = static_cast<double>(0.02f);
}  // namespace

WindowShaker::WindowShaker(QWidget* window) : QObject(window), window_(window) {
    animation_.setDuration(kDurationMs);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        if (window_) {
            window_->move(value.toPointF().toPoint());
        }
    });
    connect(&animation_, &QVariantAnimation::finished, this, [this] {
        if (window_) {
            window_->move(origin_);
        }
        emit finished();
    });
}

std::vector<QPointF> WindowShaker::shakePath(QPointF origin, double width) {
    const double d = width * kSwing;
    const QPointF left(origin.x() - d, origin.y());
    const QPointF right(origin.x() + d, origin.y());
    return {origin, left, right, left, right, left, right, origin};
}

void WindowShaker::shake() {
    if (!window_) {
        return;
    }
    if (animation_.state() == QAbstractAnimation::Running) {
        animation_.stop();
        window_->move(origin_);
    }
    origin_ = window_->pos();
    const auto path = shakePath(QPointF(origin_), window_->frameGeometry().width());
    QVariantAnimation::KeyValues keys;
    const double last = static_cast<double>(path.size() - 1);
    for (std::size_t i = 0; i < path.size(); ++i) {
        keys.append({static_cast<double>(i) / last, QVariant(path[i])});
    }
    animation_.setKeyValues(keys);
    animation_.start();
}

bool WindowShaker::isShaking() const {
    return animation_.state() == QAbstractAnimation::Running;
}

}  // namespace vantrel
