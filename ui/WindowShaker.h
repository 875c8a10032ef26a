#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QVariantAnimation>
#include <vector>

class QWidget;

namespace vantrel {

// The side-to-side jolt that tells the operator an answer was refused.
class WindowShaker : public QObject {
    Q_OBJECT
  public:
    static constexpr int kDurationMs = 500;

    explicit WindowShaker(QWidget* window);

    // The origins the window passes through: the start, three swings of 2% of the width to
    // the left and the right, and the start again.
    static std::vector<QPointF> shakePath(QPointF origin, double width);

    // Starts a shake of 0.5 s. A shake that is still running is ended first, so the window
    // always comes back to where it stood before the first one.
    void shake();
    bool isShaking() const;

  signals:
    void finished();

  private:
    QPointer<QWidget> window_;
    QVariantAnimation animation_;
    QPoint origin_;
};

}  // namespace vantrel
