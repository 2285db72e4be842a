#pragma once
// The desktop program as a whole: the core and the forms, made in their fixed order (main
// window, add dialog, progress box, message box, login dialog, search dialog, configuration
// dialog) and torn down safely. The entry, the window tests and the screenshots all start the program this way.

#include <memory>

#include "core/program_core.h"
#include "ui/t_form1.h"

class TsmallBox;
class TprogressBarBox;
class TsmallInputDialog;
class TtempSearchDialog;
class TTARNAddGUI;
class TConfigDialog;

class TarnProgram {
public:
    struct Options {
        core::CoreOptions core;
        TForm1::Options window;
    };

    explicit TarnProgram(Options options);
    ~TarnProgram();
    TarnProgram(const TarnProgram&) = delete;
    TarnProgram& operator=(const TarnProgram&) = delete;

    core::ProgramCore& core() { return m_core; }
    TForm1& form() { return *m_form; }
    TsmallBox& messageBox() { return *m_messageBox; }
    TprogressBarBox& progressBox() { return *m_progressBox; }
    TsmallInputDialog& loginDialog() { return *m_loginDialog; }
    TtempSearchDialog& searchDialog() { return *m_searchDialog; }
    TTARNAddGUI& addDialog() { return *m_addDialog; }
    TConfigDialog& configDialog() { return *m_configDialog; }

private:
    core::ProgramCore m_core;
    std::unique_ptr<TForm1> m_form;
    std::unique_ptr<TTARNAddGUI> m_addDialog;
    std::unique_ptr<TprogressBarBox> m_progressBox;
    std::unique_ptr<TsmallBox> m_messageBox;
    std::unique_ptr<TsmallInputDialog> m_loginDialog;
    std::unique_ptr<TtempSearchDialog> m_searchDialog;
    std::unique_ptr<TConfigDialog> m_configDialog;
};
