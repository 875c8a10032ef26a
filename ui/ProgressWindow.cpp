#include "ui/ProgressWindow.h"

#include <QDesktopServices>
#include <QDialog>
#include <QGuiApplication>
#include <QShowEvent>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "ui/Pictures.h"
#include "ui/Storyboard.h"
#include "ui_ProgressWindow.h"

namespace vantrel {

namespace {
// The bar counts hundredths of a percent, so that 18.75 shows as 18.75.
constexpr int kBarScale = 100;
constexpr int kBarMaximum = 100 * kBarScale;
}  // namespace

ProgressWindow::ProgressWindow(std::function<void()> cancelDownloads, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ProgressWindow>()) {
    ui_->setupUi(this);
    ui_->problemReporter->setPixmap(
        picture(kProblemPicture)
            .scaled(ui_->problemReporter->maximumSize() * devicePixelRatio(), Qt::KeepAspectRatio,
                    Qt::SmoothTransformation));
    ui_->problemReporter->setScaledContents(true);
    ui_->problemReporter->hide();
    ui_->logoButton->setIcon(QIcon(picture(kLogoPicture)));
    controller_ = std::make_unique<ViewController>(*this, std::move(cancelDownloads));
    connect(ui_->quitButtonView, &QPushButton::clicked, this,
            [this] { controller_->quitButton(); });
    connect(ui_->logoButton, &QToolButton::clicked, this, [this] { controller_->corvaneGo(); });
    controller_->viewDidLoad();
}

ProgressWindow::~ProgressWindow() = default;

QWidget* ProgressWindow::element(ProgressElement element) const {
    switch (element) {
        case ProgressElement::productIcon:
            return ui_->productIcon;
        case ProgressElement::statusText:
            return ui_->statusText;
        case ProgressElement::quitButtonView:
            return ui_->quitButtonView;
        case ProgressElement::problemReporter:
            return ui_->problemReporter;
        case ProgressElement::progressBar:
            return ui_->progressBar;
        case ProgressElement::stepOfStep:
            return ui_->stepOfStep;
    }
    return nullptr;
}

void ProgressWindow::setText(ProgressElement element, const std::string& text) {
    if (auto* label = qobject_cast<QLabel*>(this->element(element))) {
        label->setText(QString::fromStdString(text));
    }
}

void ProgressWindow::setImage(ProgressElement element, const std::string& resourceName) {
    if (auto* label = qobject_cast<QLabel*>(this->element(element))) {
        const QPixmap pixmap = picture(resourceName);
        label->setPixmap(pixmap.isNull()
                             ? pixmap
                             : pixmap.scaled(label->maximumSize() * devicePixelRatio(),
                                             Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
}

void ProgressWindow::setHidden(ProgressElement element, bool hidden) {
    if (auto* widget = this->element(element)) {
        widget->setHidden(hidden);
    }
}

void ProgressWindow::setProgress(double value) {
    auto* bar = ui_->progressBar;
    bar->setRange(0, kBarMaximum);  // determinate from now on
    // Reports are passed on as printed; only what the bar can show reaches it: not-a-number
    // keeps the bar where it is, anything outside 0 to 100 stops at the nearest end.
    if (std::isnan(value)) {
        return;
    }
    const double clamped = std::clamp(value, 0.0, 100.0);
    bar->setValue(static_cast<int>(std::lround(clamped * kBarScale)));
}

void ProgressWindow::presentSheet(const std::string& identifier) {
    auto* sheet = qobject_cast<QDialog*>(storyboard::instantiateController(identifier, this));
    if (!sheet) {
        return;
    }
    // Attached to the top of this window, centred; window-modal, so the rest of the program
    // keeps running while it waits for the answer.
    sheet->adjustSize();
    const QRect frame = frameGeometry();
    sheet->move(frame.x() + (frame.width() - sheet->width()) / 2, geometry().y());
    sheet->open();
    if (QGuiApplication::platformName() != "offscreen") {  // nothing to raise there
        sheet->raise();
    }
    sheet->activateWindow();
}

void ProgressWindow::closeWindow() {
    close();
}

void ProgressWindow::openURL(const std::string& address) {
    (void)QDesktopServices::openUrl(QUrl(QString::fromStdString(address)));
}

void ProgressWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!appeared_ && !event->spontaneous()) {
        appeared_ = true;
        controller_->viewDidAppear();
    }
}

}  // namespace vantrel
