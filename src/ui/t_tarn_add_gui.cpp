#include "ui/t_tarn_add_gui.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdio>

#include "core/device_pick.h"
#include "core/program_core.h"
#include "ui/screen_fit.h"
#include "ui/t_small_box.h"
#include "ui/t_temp_search_dialog.h"

using namespace Qt::StringLiterals;

namespace {

// A failed creation (as opposed to a failed check) ends the dialog's attempt: it closes.
bool creationFailed(const std::string& message) {
    int com = 0;
    char rest[32] = {};
    return std::sscanf(message.c_str(), "COM%d cannot be created%31s", &com, rest) == 2;
}

QLineEdit* makeField(QWidget* parent, int maxLength) {
    auto* field = new QLineEdit(parent);
    field->setMaxLength(maxLength);
    return field;
}

} // namespace

TTARNAddGUI::TTARNAddGUI(core::ProgramCore& core, QWidget* parent) : QDialog(parent), m_core(core) {
    setWindowTitle(u"Add TARN"_s);
    // The first size is the specified one; on a screen with less room (a large scale factor)
    // the form scrolls, with OK and Cancel kept in view below it.
    resize(532, 524);
    auto* outer = new QVBoxLayout(this);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* form = new QWidget(scroll);
    auto* layout = new QVBoxLayout(form);
    layout->setContentsMargins(0, 0, 0, 0);

    QStringList columns{u"No"_s, u"Device Name"_s, u"MAC Address"_s, u"IP Address"_s};
    m_devices = new ui::TextRowsModel(columns, this);
    m_devices->setBackground(Qt::white);
    m_list = new QTableView(this);
    m_list->setObjectName(u"TARNAddGUIList"_s);
    m_list->setModel(m_devices);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setWordWrap(false);
    m_list->verticalHeader()->hide();
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 6);
    m_list->horizontalHeader()->setSectionsClickable(false);
    const int widths[] = {60, 100, 130, 120};
    for (int column = 0; column < 4; ++column)
        m_list->setColumnWidth(column, widths[column]);
    layout->addWidget(m_list, 1);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    pickRow(current.row());
            });
    connect(m_list, &QTableView::clicked, this, [this](const QModelIndex& index) { pickRow(index.row()); });

    auto* rescanRow = new QHBoxLayout;
    rescanRow->addStretch();
    m_rescan = new QPushButton(u"Rescan"_s, this);
    rescanRow->addWidget(m_rescan);
    layout->addLayout(rescanRow);
    connect(m_rescan, &QPushButton::clicked, this, &TTARNAddGUI::rescan);

    auto* radios = new QHBoxLayout;
    auto* tcpUdp = new QGroupBox(u"TCP/UDP"_s, this);
    auto* tcpUdpLayout = new QHBoxLayout(tcpUdp);
    m_tcp = new QRadioButton(u"TCP"_s, tcpUdp);
    m_udp = new QRadioButton(u"UDP"_s, tcpUdp);
    tcpUdpLayout->addWidget(m_tcp);
    tcpUdpLayout->addWidget(m_udp);
    auto* role = new QGroupBox(u"Server/Client"_s, this);
    auto* roleLayout = new QGridLayout(role);
    m_server = new QRadioButton(u"Server"_s, role);
    m_client = new QRadioButton(u"Client"_s, role);
    roleLayout->addWidget(m_server, 0, 0);
    roleLayout->addWidget(m_client, 0, 1);
    // A row of its own under the radios: beside them it would widen the form past its size.
    m_rfc2217 = new QCheckBox(u"RFC 2217 (Telnet COM Port Control)"_s, role);
    roleLayout->addWidget(m_rfc2217, 1, 0, 1, 2);
    radios->addWidget(tcpUdp);
    radios->addWidget(role);
    layout->addLayout(radios);
    // Each rule runs when its radio becomes checked, by the user or by the program.
    connect(m_tcp, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            applyTcpUdpLayout();
    });
    connect(m_udp, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            applyTcpUdpLayout();
    });
    connect(m_server, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            applyRoleLayout();
    });
    connect(m_client, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            applyRoleLayout();
    });

    auto* fields = new QGridLayout;
    int row = 0;
    auto addField = [&](const QString& caption, QWidget* field, QLabel** label) {
        auto* text = new QLabel(caption, this);
        fields->addWidget(text, row, 0);
        fields->addWidget(field, row, 1);
        ++row;
        if (label)
            *label = text;
        return text;
    };
    m_ip = makeField(this, 15);
    m_ip->setReadOnly(true);
    addField(u"IP Address"_s, m_ip, &m_ipLabel);
    auto* comBox = new QWidget(this);
    auto* comLayout = new QHBoxLayout(comBox);
    comLayout->setContentsMargins(0, 0, 0, 0);
    m_com = new QLineEdit(comBox);
    m_com->setObjectName(u"COMNumList"_s);
    m_comUp = new QToolButton(comBox);
    m_comUp->setArrowType(Qt::UpArrow);
    m_comDown = new QToolButton(comBox);
    m_comDown->setArrowType(Qt::DownArrow);
    comLayout->addWidget(m_com);
    comLayout->addWidget(m_comUp);
    comLayout->addWidget(m_comDown);
    addField(u"COM"_s, comBox, nullptr);
    connect(m_comUp, &QToolButton::clicked, this, &TTARNAddGUI::comUp);
    connect(m_comDown, &QToolButton::clicked, this, &TTARNAddGUI::comDown);
    m_localPort = makeField(this, 5);
    addField(u"Local Port"_s, m_localPort, &m_localLabel);
    m_remotePort = makeField(this, 5);
    addField(u"Remote Port"_s, m_remotePort, &m_remoteLabel);
    // Built hidden and never shown: a new mapping gets no control target or password here.
    m_controlPort = makeField(this, 5);
    m_controlPort->setReadOnly(true);
    addField(u"Control Port"_s, m_controlPort, &m_controlLabel);
    m_password = makeField(this, 15);
    m_password->setReadOnly(true);
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setStyleSheet(u"lineedit-password-character: 42;"_s);
    addField(u"Password for Control Protocol"_s, m_password, &m_passwordLabel);
    for (QWidget* hidden : {static_cast<QWidget*>(m_controlPort), static_cast<QWidget*>(m_controlLabel),
                            static_cast<QWidget*>(m_password), static_cast<QWidget*>(m_passwordLabel)})
        hidden->hide();
    layout->addLayout(fields);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_ok = new QPushButton(QIcon(u":/icons/ok.svg"_s), u"OK"_s, this);
    m_ok->setObjectName(u"BitBtn1"_s);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QIcon(u":/icons/cancel.svg"_s), u"Cancel"_s, this);
    m_cancel->setObjectName(u"BitBtn2"_s);
    for (QPushButton* button : {m_ok, m_cancel}) {
        button->setIconSize(QSize(20, 20));
        button->installEventFilter(this);
        buttons->addWidget(button);
    }
    scroll->setWidget(form);
    outer->addWidget(scroll, 1);
    outer->addLayout(buttons);
    connect(m_ok, &QPushButton::clicked, this, &TTARNAddGUI::accept);
    connect(m_cancel, &QPushButton::clicked, this, &TTARNAddGUI::reject);

    reset();
}

TTARNAddGUI::~TTARNAddGUI() = default;

void TTARNAddGUI::setForms(TsmallBox* messageBox, TtempSearchDialog* searchDialog) {
    m_messageBox = messageBox;
    m_searchDialog = searchDialog;
    if (m_searchDialog)
        connect(m_searchDialog, &TtempSearchDialog::searchEnded, this, [this] {
            if (!m_rescanning)
                return;
            m_rescanning = false;
            reset();
            m_com->setText(QString::number(m_core.proposedComNumber()));
            fillDevices();
        });
}

// The OK and Cancel pictures light up under the mouse.
bool TTARNAddGUI::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == m_ok || watched == m_cancel) &&
        (event->type() == QEvent::Enter || event->type() == QEvent::Leave)) {
        const bool over = event->type() == QEvent::Enter;
        const QString name = watched == m_ok ? u"ok"_s : u"cancel"_s;
        static_cast<QPushButton*>(watched)->setIcon(QIcon(u":/icons/"_s + name + (over ? u"_hover.svg"_s : u".svg"_s)));
    }
    return QDialog::eventFilter(watched, event);
}

void TTARNAddGUI::reset() {
    m_devices->clear();
    for (QLineEdit* field : {m_ip, m_localPort, m_remotePort, m_controlPort, m_com, m_password}) {
        field->clear();
        field->setStyleSheet(field == m_password ? u"lineedit-password-character: 42;"_s : QString());
    }
    m_com->setReadOnly(false);
    m_comUp->setEnabled(true);
    m_comDown->setEnabled(true);
    m_localPort->setReadOnly(false);
    m_remotePort->setReadOnly(false);
    for (QRadioButton* radio : {m_tcp, m_udp, m_server, m_client})
        radio->setEnabled(true);
    m_tcp->setChecked(true);
    m_client->setChecked(true);
    m_rfc2217->setChecked(false);
    // Checking an already checked radio fires nothing: the layouts run here as well.
    applyTcpUdpLayout();
    applyRoleLayout();
}

void TTARNAddGUI::fillDevices() {
    std::vector<ui::TextRow> rows;
    // No, Device Name, MAC Address, IP Address of the device page's cells.
    for (const std::array<std::string, 8>& cells : m_core.deviceRows())
        rows.push_back(ui::textRow(std::array<std::string, 4>{cells[0], cells[2], cells[4], cells[5]}));
    m_devices->setRows(std::move(rows));
}

void TTARNAddGUI::showDialog() {
    reset();
    m_com->setText(QString::number(m_core.proposedComNumber()));
    fillDevices();
    m_ok->setDefault(true);
    ui::fitToScreen(*this);
    show();
    raise();
    activateWindow();
    m_ip->setFocus();
}

void TTARNAddGUI::setFieldEnabled(QLineEdit* field, QLabel* label, bool enabled) {
    field->setEnabled(enabled);
    label->setEnabled(enabled);
}

void TTARNAddGUI::applyTcpUdpLayout() {
    if (m_tcp->isChecked()) {
        m_server->setEnabled(true);
        m_client->setEnabled(true);
        const bool server = m_server->isChecked();
        setFieldEnabled(m_localPort, m_localLabel, server);
        setFieldEnabled(m_remotePort, m_remoteLabel, !server);
        setFieldEnabled(m_ip, m_ipLabel, !server);
    } else {
        m_server->setEnabled(false);
        m_client->setEnabled(false);
        setFieldEnabled(m_localPort, m_localLabel, true);
        setFieldEnabled(m_remotePort, m_remoteLabel, true);
        setFieldEnabled(m_ip, m_ipLabel, true);
    }
    applyRfc2217Rule();
}

void TTARNAddGUI::applyRoleLayout() {
    const bool server = m_server->isChecked();
    setFieldEnabled(m_localPort, m_localLabel, server);
    setFieldEnabled(m_remotePort, m_remoteLabel, !server);
    setFieldEnabled(m_ip, m_ipLabel, !server);
    setFieldEnabled(m_controlPort, m_controlLabel, !server);
    setFieldEnabled(m_password, m_passwordLabel, !server);
    applyRfc2217Rule();
}

// Only a TCP client can speak RFC 2217. A box that goes off is cleared, so what it shows is
// what OK asks for.
void TTARNAddGUI::applyRfc2217Rule() {
    const bool tcpClient = m_tcp->isChecked() && m_client->isChecked() && m_client->isEnabled();
    m_rfc2217->setEnabled(tcpClient);
    if (!tcpClient)
        m_rfc2217->setChecked(false);
}

void TTARNAddGUI::comUp() {
    m_com->setText(QString::number(m_core.comNumberUp(core::readNumber(m_com->text().toStdString()))));
}

void TTARNAddGUI::comDown() {
    m_com->setText(QString::number(m_core.comNumberDown(core::readNumber(m_com->text().toStdString()))));
}

void TTARNAddGUI::pickRow(int row) {
    if (row < 0 || row >= m_devices->rowCount())
        return;
    const core::DevicePick pick =
        m_core.pickDevice(m_devices->cell(row, 3).toStdString(), m_server->isChecked(), m_client->isChecked());
    if (pick.comNumber)
        m_com->setText(QString::number(*pick.comNumber));
    m_com->setReadOnly(!pick.comEditable);
    m_comUp->setEnabled(pick.comEditable);
    m_comDown->setEnabled(pick.comEditable);
    m_ip->setText(QString::fromStdString(pick.ipText));
    m_localPort->setReadOnly(!pick.localEditable);
    m_remotePort->setReadOnly(!pick.remoteEditable);
    if (pick.localPortText)
        m_localPort->setText(QString::fromStdString(*pick.localPortText));
    if (pick.remotePortText)
        m_remotePort->setText(QString::fromStdString(*pick.remotePortText));
    for (QRadioButton* radio : {m_tcp, m_udp, m_server, m_client})
        radio->setEnabled(pick.radiosEnabled);
    if (pick.portsWhite) {
        m_localPort->setStyleSheet(u"background: white;"_s);
        m_remotePort->setStyleSheet(u"background: white;"_s);
    }
    switch (pick.role) {
    case core::DevicePick::Role::TcpClient:
        m_tcp->setChecked(true);
        m_client->setChecked(true);
        break;
    case core::DevicePick::Role::TcpServer:
        m_tcp->setChecked(true);
        m_server->setChecked(true);
        break;
    case core::DevicePick::Role::Udp:
        m_udp->setChecked(true);
        break;
    case core::DevicePick::Role::Unchanged:
        break;
    }
    // The radios' rules enable the group they belong to; a locked mapping keeps them off.
    if (!pick.radiosEnabled)
        for (QRadioButton* radio : {m_tcp, m_udp, m_server, m_client})
            radio->setEnabled(false);
    applyRfc2217Rule();
}

void TTARNAddGUI::rescan() {
    if (!m_searchDialog)
        return;
    m_rescanning = true;
    m_searchDialog->startSearch();
}

void TTARNAddGUI::accept() {
    core::AddRequest request;
    request.comText = m_com->text().toStdString();
    request.ipText = m_ip->text().toStdString();
    request.localPortText = m_localPort->text().toStdString();
    request.remotePortText = m_remotePort->text().toStdString();
    request.controlPortText = m_controlPort->text().toStdString();
    request.isTcp = m_tcp->isChecked();
    request.isServer = m_server->isChecked();
    request.rfc2217 = m_rfc2217->isChecked();
    const core::CommandOutcome outcome = m_core.addMapping(request);
    if (!outcome.ok() && m_messageBox)
        m_messageBox->showMessage(TsmallBox::Style::Error, QString::fromStdString(outcome.error()));
    // A check that failed leaves the user's input to correct; an attempt, made or not, ends.
    if (outcome.ok() || creationFailed(outcome.error()))
        closeAndReset();
}

void TTARNAddGUI::reject() {
    closeAndReset();
}

void TTARNAddGUI::closeAndReset() {
    hide();
    reset();
}

void TTARNAddGUI::closeEvent(QCloseEvent* event) {
    reset();
    // Not QDialog's own handling, which would come back through reject().
    event->accept();
}
