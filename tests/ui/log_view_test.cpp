// The window's log views over logs that keep only their most recent rows: each view shows
// the last rows, none twice and none missing but the discarded ones.

#include "program_harness.h"
#include "support/netns.h"

namespace {

using namespace ui_test;

TEST(LogView, KeepsTheLogsLimitAndFollowsBySequenceAcrossDiscardedRows) {
    TARN_REQUIRE_PRIVATE_NETNS();
    TempHome home;
    TarnProgram::Options options = programOptions();
    options.core.logRowLimit = 6;
    TarnProgram program(std::move(options));
    program.form().show();
    core::ProgramCore& core = program.core();
    ui::TextRowsModel* view = program.form().mappingLog();

    auto texts = [&] {
        QStringList all;
        for (int row = 0; row < view->rowCount(); ++row)
            all.push_back(view->cell(row, 1));
        return all;
    };
    auto expectLast = [&](int last, int count) {
        QStringList want;
        for (int i = last - count + 1; i <= last; ++i)
            want.push_back(u"r%1"_s.arg(i));
        return want;
    };

    int next = 0;
    auto append = [&](int count) {
        for (int i = 0; i < count; ++i)
            core.logMappingMessage("r" + std::to_string(next++));
    };
    // Fewer rows than the limit, then bursts far larger than it between two looks: the view
    // holds the most recent rows in order, which a reader by row count would get wrong.
    append(4);
    ASSERT_TRUE(waitUntil([&] { return texts() == expectLast(3, 4); })) << texts().join(u' ').toStdString();
    append(3);
    ASSERT_TRUE(waitUntil([&] { return texts() == expectLast(6, 6); })) << texts().join(u' ').toStdString();
    for (int burst : {50, 1, 13}) {
        append(burst);
        ASSERT_TRUE(waitUntil([&] { return texts() == expectLast(next - 1, 6); })) << texts().join(u' ').toStdString();
    }
    EXPECT_EQ(view->rowCount(), 6);
    EXPECT_EQ(core.mappingLog().size(), 6u);
}

} // namespace
