#pragma once
// The add-mapping dialog: the devices of the last search, the mapping's mode, COM number,
// address and ports. Picking a device fills what the device reports; OK hands everything to
// the core's one add path, which checks and creates.

#include <QDialog>

#include "core/add_path.h"
#include "ui/text_rows_model.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableView;
class QToolButton;
class TsmallBox;
class TtempSearchDialog;

namespace core {
class ProgramCore;
}

class TTARNAddGUI : public QDialog {
    Q_OBJECT
public:
    explicit TTARNAddGUI(core::ProgramCore& core, QWidget* parent = nullptr);
    ~TTARNAddGUI() override;

    void setForms(TsmallBox* messageBox, TtempSearchDialog* searchDialog);

    // The window's Add command: reset, propose a COM number, list the devices, show.
    void showDialog();
    // The up-down's two buttons: "previous" counts up past taken numbers, "next" down to a
    // free one.
    void comUp();
    void comDown();
    void pickRow(int row);
    void rescan();

    // For tests and screenshots.
    QTableView* deviceList() const { return m_list; }
    ui::TextRowsModel* devices() const { return m_devices; }
    QRadioButton* tcpRadio() const { return m_tcp; }
    QRadioButton* udpRadio() const { return m_udp; }
    QRadioButton* serverRadio() const { return m_server; }
    QRadioButton* clientRadio() const { return m_client; }
    QCheckBox* rfc2217Box() const { return m_rfc2217; }
    QLineEdit* ipField() const { return m_ip; }
    QLineEdit* comField() const { return m_com; }
    QLineEdit* localPortField() const { return m_localPort; }
    QLineEdit* remotePortField() const { return m_remotePort; }
    QLineEdit* controlPortField() const { return m_controlPort; }
    QLineEdit* passwordField() const { return m_password; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* rescanButton() const { return m_rescan; }

public slots:
    void accept() override;
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void reset();
    void fillDevices();
    void applyTcpUdpLayout();
    void applyRoleLayout();
    void applyRfc2217Rule();
    void setFieldEnabled(QLineEdit* field, QLabel* label, bool enabled);
    void closeAndReset();

    core::ProgramCore& m_core;
    TsmallBox* m_messageBox = nullptr;
    TtempSearchDialog* m_searchDialog = nullptr;
    bool m_rescanning = false;

    QTableView* m_list = nullptr;
    ui::TextRowsModel* m_devices = nullptr;
    QPushButton* m_rescan = nullptr;
    QRadioButton* m_tcp = nullptr;
    QRadioButton* m_udp = nullptr;
    QRadioButton* m_server = nullptr;
    QRadioButton* m_client = nullptr;
    QCheckBox* m_rfc2217 = nullptr;
    QLineEdit* m_ip = nullptr;
    QLabel* m_ipLabel = nullptr;
    QLineEdit* m_com = nullptr;
    QToolButton* m_comUp = nullptr;
    QToolButton* m_comDown = nullptr;
    QLineEdit* m_localPort = nullptr;
    QLabel* m_localLabel = nullptr;
    QLineEdit* m_remotePort = nullptr;
    QLabel* m_remoteLabel = nullptr;
    QLineEdit* m_controlPort = nullptr;
    QLabel* m_controlLabel = nullptr;
    QLineEdit* m_password = nullptr;
    QLabel* m_passwordLabel = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
};
