#pragma once
// The device configuration dialog: a scroll area that the description fills with captions
// and controls once per run, the OK and Cancel pictures, the wheel rule and the link between
// the TCP and UDP mode groups. The values move through the codecs; the window's configure
// command reads and writes the device around it.

#include <QDialog>
#include <memory>
#include <utility>
#include <vector>

#include "core/device_service.h" // the form the dialog lays out

class QButtonGroup;
class QPushButton;
class QScrollArea;

namespace ui {
class QtRadioGroup;
}

class TConfigDialog : public QDialog, public config::ControlFactory {
    Q_OBJECT
public:
    explicit TConfigDialog(QWidget* parent = nullptr);
    ~TConfigDialog() override;

    // Lays the description out (once per run) and links the mode groups.
    config::LoadResult load(const std::string& path);
    bool loaded() const { return m_loaded; }
    const std::vector<config::XMLGUI>& items() const { return m_items; }

    // Shows the dialog modally for the program, scrolled to the top, without a nested loop,
    // with the focus on the first field.
    void open() override;
    // The caption names the device the dialog writes to.
    void setDevice(const QString& name, const QString& ip);

    QScrollArea* mainBox() const { return m_mainBox; }
    // The widget behind a control of the item list (tests, screenshots).
    QWidget* widgetOf(const config::Control* control) const;
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }
    // The same two commands as labelled buttons below the form, which never scrolls away.
    QPushButton* okBarButton() const { return m_okBar; }
    QPushButton* cancelBarButton() const { return m_cancelBar; }

    // The factory the description's loader works through.
    void caption(const std::string& text, int left, int top, int pointSize, bool bold) override;
    config::TextControl* editBox(int maxLength) override;
    void placeEdit(config::TextControl* edit, int left, int top) override;
    config::RadioGroupControl* radioGroup() override;
    config::ComboControl* comboBox(int left, int top) override;
    config::CheckControl* checkBox(const std::string& caption, int left, int top, int width) override;
    void setSize(int width, int height) override;
    void placeButtons(int top, int left) override;

signals:
    // OK: the window collects and writes the configuration (and then closes the dialog).
    void storeRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Enter in a field never writes the device: only a click (or Space on a focused button).
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void linkModes();
    void watch(QWidget* widget);
    void growContent(const QWidget* widget);

    QScrollArea* m_mainBox = nullptr;
    QWidget* m_content = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_okBar = nullptr;
    QPushButton* m_cancelBar = nullptr;
    std::vector<config::XMLGUI> m_items;
    std::vector<std::unique_ptr<config::Control>> m_controls;
    std::vector<std::pair<const config::Control*, QWidget*>> m_widgets;
    bool m_loaded = false;
};
