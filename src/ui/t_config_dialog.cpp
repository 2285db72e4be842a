#include "ui/t_config_dialog.h"

#include <QDialogButtonBox>
#include <QKeyEvent>

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

#include "ui/screen_fit.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kWheelStep = 50;
constexpr int kRadioStep = 25;

} // namespace

namespace ui {
namespace {

QString qText(const std::string& text) {
    return QString::fromStdString(text);
}

class QtText final : public config::TextControl {
public:
    explicit QtText(QLineEdit* edit) : m_edit(edit) {}
    std::string text() const override { return m_edit->text().toStdString(); }
    void setText(const std::string& text) override { m_edit->setText(qText(text)); }
    int width() const override { return m_edit->width(); }
    void setMasked(bool masked) override {
        m_edit->setEchoMode(masked ? QLineEdit::Password : QLineEdit::Normal);
        m_edit->setStyleSheet(masked ? u"lineedit-password-character: 42;"_s : QString());
    }
    QLineEdit* widget() const { return m_edit; }

private:
    QLineEdit* m_edit;
};

class QtCombo final : public config::ComboControl {
public:
    explicit QtCombo(QComboBox* combo) : m_combo(combo) {}
    void clearEntries() override { m_combo->clear(); }
    void addEntry(const std::string& text) override { m_combo->addItem(qText(text)); }
    int entryCount() const override { return m_combo->count(); }
    std::string entryText(int entry) const override { return m_combo->itemText(entry).toStdString(); }
    int selected() const override { return m_combo->currentIndex(); }
    void select(int entry) override { m_combo->setCurrentIndex(entry >= 0 && entry < m_combo->count() ? entry : -1); }
    void closeList() override { m_combo->hidePopup(); }
    QComboBox* widget() const { return m_combo; }

private:
    QComboBox* m_combo;
};

class QtCheck final : public config::CheckControl {
public:
    explicit QtCheck(QCheckBox* box) : m_box(box) {}
    bool checked() const override { return m_box->isChecked(); }
    void setChecked(bool checked) override { m_box->setChecked(checked); }
    std::string caption() const override { return m_box->text().toStdString(); }

private:
    QCheckBox* m_box;
};

} // namespace

// A radio group: a framed box whose buttons are one exclusive group.
class QtRadioGroup final : public config::RadioGroupControl {
public:
    explicit QtRadioGroup(QGroupBox* box) : m_box(box), m_group(new QButtonGroup(box)) {}
    void addButton(const std::string& caption) override {
        auto* button = new QRadioButton(qText(caption), m_box);
        button->move(8, 4 + kRadioStep * buttonCount());
        button->show();
        m_group->addButton(button, buttonCount());
        m_box->resize(m_box->width(), std::max(m_box->height(), 4 + kRadioStep * buttonCount()));
    }
    int buttonCount() const override { return static_cast<int>(m_group->buttons().size()); }
    std::string buttonCaption(int button) const override {
        QAbstractButton* found = m_group->button(button);
        return found ? found->text().toStdString() : std::string();
    }
    void place(int left, int top) override { m_box->move(left, top); }
    int top() const override { return m_box->y(); }
    // Never less than its buttons need: a group of one button would otherwise be 0 high.
    void setHeight(int height) override {
        m_box->resize(m_box->width(), std::max(height, 4 + kRadioStep * buttonCount()));
    }
    int selected() const override { return m_group->checkedId(); }
    void select(int button) override {
        if (QAbstractButton* found = m_group->button(button)) {
            found->setChecked(true);
            return;
        }
        // None: an exclusive group cannot uncheck its last button by itself.
        m_group->setExclusive(false);
        for (QAbstractButton* each : m_group->buttons())
            each->setChecked(false);
        m_group->setExclusive(true);
    }
    QButtonGroup* group() const { return m_group; }
    QGroupBox* widget() const { return m_box; }

private:
    QGroupBox* m_box;
    QButtonGroup* m_group;
};

} // namespace ui

TConfigDialog::TConfigDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(u"Configure Dialog"_s);
    setWindowModality(Qt::ApplicationModal);
    resize(339, 206);
    // No absolute position (none can be kept on Wayland): a dialog opens over its window.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_mainBox = new QScrollArea(this);
    m_mainBox->setObjectName(u"mainBox"_s);
    m_mainBox->setFocusPolicy(Qt::ClickFocus);
    m_content = new QWidget(m_mainBox);
    m_content->resize(300, 150);
    m_mainBox->setWidget(m_content);
    m_mainBox->setWidgetResizable(false);
    layout->addWidget(m_mainBox);
    auto* bar = new QDialogButtonBox(this);
    m_okBar = bar->addButton(u"OK"_s, QDialogButtonBox::AcceptRole);
    m_cancelBar = bar->addButton(u"Cancel"_s, QDialogButtonBox::RejectRole);
    for (QPushButton* button : {m_okBar, m_cancelBar}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    connect(m_okBar, &QPushButton::clicked, this, &TConfigDialog::storeRequested);
    connect(m_cancelBar, &QPushButton::clicked, this, &TConfigDialog::reject);
    layout->addWidget(bar);
    m_mainBox->viewport()->installEventFilter(this);
    m_content->installEventFilter(this);
    installEventFilter(this);
}

TConfigDialog::~TConfigDialog() = default;

config::LoadResult TConfigDialog::load(const std::string& path) {
    config::LoadResult result = config::loadDescription(path, *this, m_items);
    if (result) {
        m_loaded = true;
        linkModes();
    }
    return result;
}

QWidget* TConfigDialog::widgetOf(const config::Control* control) const {
    for (const auto& [each, widget] : m_widgets)
        if (each == control)
            return widget;
    return nullptr;
}

void TConfigDialog::watch(QWidget* widget) {
    widget->installEventFilter(this);
    growContent(widget);
}

void TConfigDialog::growContent(const QWidget* widget) {
    const QRect area = widget->geometry();
    m_content->resize(std::max(m_content->width(), area.right() + 25),
                      std::max(m_content->height(), area.bottom() + 25));
}

void TConfigDialog::caption(const std::string& text, int left, int top, int pointSize, bool bold) {
    auto* label = new QLabel(QString::fromStdString(text), m_content);
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    if (pointSize > 0)
        font.setPointSize(pointSize);
    font.setBold(bold);
    label->setFont(font);
    label->adjustSize();
    label->move(left, top);
    label->show();
    watch(label);
}

config::TextControl* TConfigDialog::editBox(int maxLength) {
    auto* edit = new QLineEdit(m_content);
    if (maxLength > 0)
        edit->setMaxLength(maxLength);
    edit->resize(150, edit->sizeHint().height());
    m_controls.push_back(std::make_unique<ui::QtText>(edit));
    m_widgets.emplace_back(m_controls.back().get(), edit);
    return static_cast<config::TextControl*>(m_controls.back().get());
}

void TConfigDialog::placeEdit(config::TextControl* edit, int left, int top) {
    QLineEdit* widget = static_cast<ui::QtText*>(edit)->widget();
    widget->move(left, top);
    widget->show();
    watch(widget);
}

config::RadioGroupControl* TConfigDialog::radioGroup() {
    auto* box = new QGroupBox(m_content);
    box->resize(200, kRadioStep);
    box->show();
    m_controls.push_back(std::make_unique<ui::QtRadioGroup>(box));
    auto* group = static_cast<ui::QtRadioGroup*>(m_controls.back().get());
    m_widgets.emplace_back(group, box);
    watch(box);
    return group;
}

config::ComboControl* TConfigDialog::comboBox(int left, int top) {
    auto* combo = new QComboBox(m_content);
    combo->move(left, top);
    combo->resize(150, combo->sizeHint().height());
    combo->show();
    // The wheel scrolls the dialog, never a combo's choice: the list and its viewport too.
    combo->view()->installEventFilter(this);
    combo->view()->viewport()->installEventFilter(this);
    watch(combo);
    m_controls.push_back(std::make_unique<ui::QtCombo>(combo));
    m_widgets.emplace_back(m_controls.back().get(), combo);
    return static_cast<config::ComboControl*>(m_controls.back().get());
}

config::CheckControl* TConfigDialog::checkBox(const std::string& caption, int left, int top, int width) {
    auto* box = new QCheckBox(QString::fromStdString(caption), m_content);
    box->move(left, top);
    box->resize(std::max(width, box->sizeHint().width()), box->sizeHint().height());
    box->show();
    watch(box);
    m_controls.push_back(std::make_unique<ui::QtCheck>(box));
    m_widgets.emplace_back(m_controls.back().get(), box);
    return static_cast<config::CheckControl*>(m_controls.back().get());
}

void TConfigDialog::setSize(int width, int height) {
    resize(width, height);
}

void TConfigDialog::placeButtons(int top, int left) {
    auto makeButton = [this](const QString& name, int x, int y) {
        auto* button = new QPushButton(QIcon(u":/icons/"_s + name + u".svg"_s), QString(), m_content);
        button->setObjectName(name);
        button->setIconSize(QSize(24, 24));
        button->setAutoDefault(false);
        button->move(x, y);
        button->show();
        watch(button);
        return button;
    };
    m_ok = makeButton(u"ok"_s, left, top);
    m_cancel = makeButton(u"cancel"_s, left + 100, top);
    connect(m_ok, &QPushButton::clicked, this, &TConfigDialog::storeRequested);
    connect(m_cancel, &QPushButton::clicked, this, &TConfigDialog::reject);
}

// Choosing a TCP mode switches UDP off; switching UDP on moves TCP to its first button.
void TConfigDialog::linkModes() {
    ui::QtRadioGroup* tcp = nullptr;
    ui::QtRadioGroup* udp = nullptr;
    for (const config::XMLGUI& item : m_items) {
        if (item.group == "tcpMode" && item.control)
            tcp = dynamic_cast<ui::QtRadioGroup*>(item.control);
        if (item.group == "udpMode" && item.control)
            udp = dynamic_cast<ui::QtRadioGroup*>(item.control);
    }
    if (!tcp || !udp)
        return;
    connect(tcp->group(), &QButtonGroup::idClicked, this, [tcp, udp] {
        if (tcp->selected() == 1 || tcp->selected() == 2)
            udp->select(0);
    });
    connect(udp->group(), &QButtonGroup::idClicked, this, [tcp, udp] {
        if (udp->selected() == 1)
            tcp->select(0);
    });
}

void TConfigDialog::open() {
    ui::fitToScreen(*this);
    show();
    raise();
    activateWindow();
    // A focus left from the last opening on a control scrolled out of sight would take keys
    // the user cannot see: the first field of the form takes it.
    for (const config::XMLGUI& item : m_items) {
        QWidget* field = item.control ? widgetOf(item.control) : nullptr;
        if (field && field->focusPolicy() != Qt::NoFocus && field->isEnabled()) {
            field->setFocus(Qt::OtherFocusReason);
            m_mainBox->ensureWidgetVisible(field);
            break;
        }
    }
}

void TConfigDialog::setDevice(const QString& name, const QString& ip) {
    setWindowTitle(u"Configure Dialog - %1 (%2)"_s.arg(name, ip));
}

void TConfigDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TConfigDialog::showEvent(QShowEvent* event) {
    m_mainBox->horizontalScrollBar()->setValue(0);
    m_mainBox->verticalScrollBar()->setValue(0);
    QDialog::showEvent(event);
}

bool TConfigDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        // Every open combo list closes first, so the turn never changes a choice.
        for (const config::XMLGUI& item : m_items)
            if (auto* combo = dynamic_cast<config::ComboControl*>(item.control))
                combo->closeList();
        const int turn = static_cast<QWheelEvent*>(event)->angleDelta().y();
        QScrollBar* bar = m_mainBox->verticalScrollBar();
        if (turn != 0)
            bar->setValue(bar->value() + (turn < 0 ? kWheelStep : -kWheelStep));
        return true;
    }
    if (watched == m_content && event->type() == QEvent::MouseButtonPress)
        m_mainBox->setFocus();
    if ((watched == m_ok || watched == m_cancel) &&
        (event->type() == QEvent::Enter || event->type() == QEvent::Leave)) {
        const bool over = event->type() == QEvent::Enter;
        const QString name = watched == m_ok ? u"ok"_s : u"cancel"_s;
        static_cast<QPushButton*>(watched)->setIcon(QIcon(u":/icons/"_s + name + (over ? u"_hover.svg"_s : u".svg"_s)));
    }
    return QDialog::eventFilter(watched, event);
}
