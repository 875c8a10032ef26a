#include "ui/ChallengeSheet.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include "ui/WindowShaker.h"
#include "ui_ChallengeSheet.h"

namespace vantrel {

namespace {

// The application-wide key watcher: sees every key press before the widget it is meant for.
class KeyWatcher : public QObject {
  public:
    KeyWatcher(QObject* owner, std::function<bool(const QKeyEvent&)> onKeyDown)
        : QObject(owner), onKeyDown_(std::move(onKeyDown)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && onKeyDown_(*static_cast<QKeyEvent*>(event))) {
            return true;  // swallowed: no widget sees it
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<bool(const QKeyEvent&)> onKeyDown_;
};

}  // namespace

ChallengeSheet::ChallengeSheet(const WindowServices& services, QWidget* parent,
                               std::function<std::uint64_t()> draw)
    : QFrame(parent), ui_(std::make_unique<Ui::ChallengeSheet>()) {
    ui_->setupUi(this);
    setAutoFillBackground(false);  // paintEvent draws the panel
    QFont codeFont = ui_->pinField->font();
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 6);
    ui_->pinField->setFont(codeFont);
    shaker_ = new WindowShaker(this);
    controller_ = std::make_unique<verifyVC>(*this, services, std::move(draw));

    // The sheet hears every edit of the four digit fields, not of the field with the code.
    for (int tag = 1; tag <= verifyVC::kLastFieldTag; ++tag) {
        connect(digitField(tag), &QLineEdit::textEdited, this, [this, tag](const QString& text) {
            controller_->controlTextDidChange(tag, text.toStdString());
        });
    }
    connect(ui_->cancelButton, &QPushButton::clicked, this,
            [this] { controller_->cancelChallenge(); });
    controller_->viewDidLoad();
    // Watches the key presses of the whole application before they reach a field. It is
    // the sheet's child and goes with it; the application forgets a deleted filter.
    qApp->installEventFilter(new KeyWatcher(this, [this](const QKeyEvent& key) {
        return controller_->keyDown(key.key() == Qt::Key_Backspace);
    }));
}

ChallengeSheet::~ChallengeSheet() = default;

QLineEdit* ChallengeSheet::digitField(int tag) const {
    switch (tag) {
        case 1:
            return ui_->PIN_1;
        case 2:
            return ui_->PIN_2;
        case 3:
            return ui_->PIN_3;
        case 4:
            return ui_->PIN_4;
        default:
            return nullptr;
    }
}

QLabel* ChallengeSheet::codeField() const {
    return ui_->pinField;
}

QWidget* ChallengeSheet::viewWithTag(int tag) const {
    // The fields share one parent; the tag is a property set in the layout.
    for (auto* child : ui_->pinFields->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        bool ok = false;
        if (child->property("tag").toInt(&ok) == tag && ok) {
            return child;
        }
    }
    return nullptr;
}

bool ChallengeSheet::focusViewWithTag(int tag) {
    auto* view = viewWithTag(tag);
    if (!view) {
        return false;
    }
    view->setFocus(Qt::OtherFocusReason);
    return true;
}

void ChallengeSheet::resignFocusOfViewWithTag(int tag) {
    if (auto* view = viewWithTag(tag)) {
        view->clearFocus();
    }
}

void ChallengeSheet::setFieldText(int tag, const std::string& text) {
    if (auto* field = digitField(tag)) {
        field->setText(QString::fromStdString(text));  // not an edit: textEdited stays quiet
    }
}

void ChallengeSheet::setCodeText(const std::string& code) {
    // Shown as a picture of text: the layout gives it no selection, no context menu and no
    // focus, so it cannot be copied or pasted into the answer; it has to be typed.
    ui_->pinField->setText(QString::fromStdString(code));
}

void ChallengeSheet::shake() {
    shaker_->shake();
}

void ChallengeSheet::closeWindow() {
    hide();
    emit closed();
}

void ChallengeSheet::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        controller_->cancelChallenge();
        return;
    }
    QFrame::keyPressEvent(event);
}

void ChallengeSheet::paintEvent(QPaintEvent*) {
    // A panel hanging from the window's top edge: square at the top, rounded below, with a
    // thin border; the window behind draws its shadow.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(0.5, -8.0, -0.5, -0.5);
    QPainterPath panel;
    panel.addRoundedRect(area, 8, 8);
    painter.fillPath(panel, palette().window());
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.0));
    painter.drawPath(panel);
}

}  // namespace vantrel
