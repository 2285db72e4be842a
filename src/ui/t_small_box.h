#pragma once
// The program's one shared message box: an error, the about text, or a note while work runs.

#include <QDialog>

class QLabel;
class QPushButton;

class TsmallBox : public QDialog {
    Q_OBJECT
public:
    enum class Style { Error, About, Processing };

    explicit TsmallBox(QWidget* parent = nullptr);

    // Restyles the box, replaces whatever it showed and brings it up without blocking the caller.
    // The text is plain: it may come from a device.
    void showMessage(Style style, const QString& text);

    Style messageStyle() const { return m_style; }
    QLabel* messageLabel() const { return m_messageLabel; }
    QLabel* imageLabel() const { return m_imageLabel; }
    QPushButton* okButton() const { return m_okButton; }

private:
    QLabel* m_imageLabel;
    QLabel* m_messageLabel;
    QPushButton* m_okButton;
    Style m_style = Style::Error;
};
