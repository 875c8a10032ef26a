#include "ui/ProgressWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>
#include <cmath>

#include "ui/ChallengeSheet.h"
#include "ui/Pictures.h"
#include "ui/SheetBackdrop.h"
#include "ui/Storyboard.h"
#include "ui_ProgressWindow.h"

namespace vantrel {

namespace {
// The bar counts hundredths of a percent, so that 18.75 shows as 18.75.
constexpr int kBarScale = 100;
constexpr int kBarMaximum = 100 * kBarScale;
}  // namespace

ProgressWindow::ProgressWindow(const WindowServices& services, QWidget* parent)
    : QWidget(parent), services_(services), ui_(std::make_unique<Ui::ProgressWindow>()) {
    ui_->setupUi(this);
    // A utility's window: one size, no maximise control, in the middle of the screen.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    setFixedSize(minimumSize());
    if (const QScreen* display = screen()) {
        move(display->availableGeometry().center() - rect().center());
    }
    // A hidden bar keeps its place, so that the texts stay where they are.
    QSizePolicy barPolicy = ui_->progressBar->sizePolicy();
    barPolicy.setRetainSizeWhenHidden(true);
    ui_->progressBar->setSizePolicy(barPolicy);
    ui_->problemReporter->setPixmap(
        picture(services_.resourcesFolder, kProblemPicture)
            .scaled(ui_->problemReporter->maximumSize() * devicePixelRatio(), Qt::KeepAspectRatio,
                    Qt::SmoothTransformation));
    ui_->problemReporter->setScaledContents(true);
    ui_->problemReporter->hide();
    ui_->logoButton->setIcon(QIcon(picture(services_.resourcesFolder, kLogoPicture)));
    controller_ = std::make_unique<ViewController>(*this, services_);
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

ChallengeSheet* ProgressWindow::sheet() const {
    return sheet_;
}

void ProgressWindow::setText(ProgressElement element, const std::string& text) {
    if (auto* label = qobject_cast<QLabel*>(this->element(element))) {
        QString shown = QString::fromStdString(text);
        // A message that ends its line (as the installer's errors do) is one line on screen:
        // the line end would lay out as an empty second line and push the bar down.
        while (shown.endsWith(u'\n') || shown.endsWith(u'\r')) {
            shown.chop(1);
        }
        label->setText(shown);
    }
}

void ProgressWindow::setImage(ProgressElement element, const std::string& resourceName) {
    if (auto* label = qobject_cast<QLabel*>(this->element(element))) {
        const QPixmap pixmap = picture(services_.resourcesFolder, resourceName);
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

void ProgressWindow::setBusy(bool busy) {
    auto* bar = ui_->progressBar;
    if (busy) {
        bar->setRange(0, 0);
    } else if (bar->maximum() == 0) {
        bar->setRange(0, kBarMaximum);
        bar->setValue(0);
    }
}

void ProgressWindow::presentSheet(const std::string& identifier) {
    auto* sheet = qobject_cast<ChallengeSheet*>(
        storyboard::instantiateController(services_, identifier, this));
    if (!sheet) {
        return;
    }
    // A panel hanging from the top edge of this window, centred, over a backdrop that blocks
    // the rest of the window. The event loop keeps running while it waits for the answer.
    sheet_ = sheet;
    backdrop_ = new SheetBackdrop(this, sheet);
    setBlocked(true);
    sheet->resize(std::min(sheet->sizeHint().width(), width()),
                  std::min(sheet->sizeHint().height(), height()));
    sheet->move((width() - sheet->width()) / 2, 0);
    connect(sheet, &ChallengeSheet::closed, this, [this] {
        setBlocked(false);
        if (backdrop_) {
            backdrop_->deleteLater();
        }
        if (sheet_) {
            sheet_->deleteLater();
        }
    });
    backdrop_->show();
    sheet->show();
    sheet->raise();
    sheet->focusViewWithTag(1);
    if (QGuiApplication::platformName() != "offscreen") {  // nothing to raise there
        raise();
    }
    activateWindow();
}

void ProgressWindow::setBlocked(bool blocked) {
    // The window's own controls cannot be reached while a sheet is up: not by the mouse (the
    // backdrop takes it), not by Tab and not by the keyboard focus.
    for (auto* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child != sheet_ && child != backdrop_) {
            child->setEnabled(!blocked);
        }
    }
}

void ProgressWindow::closeWindow() {
    close();
}

void ProgressWindow::openURL(const std::string& address) {
    if (const auto reason = services_.openURLAsConsoleUser(address)) {
        services_.logMain(platform::LogLevel::Default, "The web site is not opened: " + *reason);
    }
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
    // As with a sheet on a Mac, the window cannot be closed while its sheet waits; the
    // sheet's Cancel ends the run.
    if (sheet_ && sheet_->isVisible()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void ProgressWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!appeared_ && !event->spontaneous()) {
        appeared_ = true;
        controller_->viewDidAppear();
    }
}

}  // namespace vantrel
