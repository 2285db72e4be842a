#include "ui/tarn_program.h"

#include "ui/t_config_dialog.h"
#include "ui/t_progress_bar_box.h"
#include "ui/t_small_box.h"
#include "ui/t_small_input_dialog.h"
#include "ui/t_tarn_add_gui.h"
#include "ui/t_temp_search_dialog.h"

TarnProgram::TarnProgram(Options options) : m_core(std::move(options.core)) {
    m_form = std::make_unique<TForm1>(m_core, options.window);
    m_addDialog = std::make_unique<TTARNAddGUI>(m_core);
    m_progressBox = std::make_unique<TprogressBarBox>();
    m_messageBox = std::make_unique<TsmallBox>();
    m_loginDialog = std::make_unique<TsmallInputDialog>(m_core);
    m_searchDialog = std::make_unique<TtempSearchDialog>(m_core);
    m_configDialog = std::make_unique<TConfigDialog>();
    // Each box belongs to the window, as a window of its own: it opens over it (no absolute
    // place, which Wayland cannot keep), stays above it and takes its 8-point font. The
    // window goes last, so it never deletes them.
    for (QWidget* box :
         std::initializer_list<QWidget*>{m_addDialog.get(), m_progressBox.get(), m_messageBox.get(),
                                         m_loginDialog.get(), m_searchDialog.get(), m_configDialog.get()})
        box->setParent(m_form.get(), box->windowFlags());
    m_addDialog->setForms(m_messageBox.get(), m_searchDialog.get());
    m_form->setForms({m_addDialog.get(), m_progressBox.get(), m_messageBox.get(), m_loginDialog.get(),
                      m_searchDialog.get(), m_configDialog.get()});
}

TarnProgram::~TarnProgram() {
    // Every core thread ends first, so nothing can call back into a form that is going.
    m_core.shutDown();
    m_form->setForms({});
    m_configDialog.reset();
    m_searchDialog.reset();
    m_loginDialog.reset();
    m_addDialog.reset();
    m_messageBox.reset();
    m_progressBox.reset();
    m_form.reset();
}
