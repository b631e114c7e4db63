// The handler lists as the dispatch walks them, and the class filters, without Windows:
// a bare exception object whose phase the test sets.
#include "crashreport/core/qixExcept_Exception.h"
#include "crashreport/core/qixExcept_Handlers.h"
#include "tests/support/qixFakeException.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace qix;
using ::testing::ElementsAre;

namespace {

// The dispatch reads only the phase, which the tests set.
class TBareException final : public test::TFakeException {
public:
    TBareException() { phase = 1; }
};

std::vector<std::string> g_calls;

void ProcA(IQXException&, bool&) {
    g_calls.push_back("procA");
}
void ProcHandles(IQXException&, bool& handled) {
    g_calls.push_back("procHandles");
    handled = true;
}
void ProcThrows(IQXException&, bool&) {
    g_calls.push_back("procThrows");
    throw std::runtime_error("handler failure");
}
void ActionProc(int action, IQXException&, bool&) {
    g_calls.push_back("action " + std::to_string(action));
}

class HandlerLists : public ::testing::Test {
protected:
    void SetUp() override {
        ClearAllHandlers();
        g_calls.clear();
    }
    void TearDown() override { ClearAllHandlers(); }
    bool Run(THandlerEvent event, bool callSync = false, bool syncFailed = false,
             bool handled = false) {
        TFireHandlersParams p;
        p.eventType = event;
        p.exception = &e;
        p.callSync = callSync;
        p.syncFailed = syncFailed;
        p.handled = handled;
        const bool ran = RunHandlerLists(p);
        lastHandled = p.handled;
        return ran;
    }
    TBareException e;
    bool lastHandled = false;
};

} // namespace

TEST_F(HandlerLists, MethodsRunBeforeProceduresAndHandledStopsTheWalkInEarlyPhases) {
    RegisterExceptionHandler(ProcA, kSyncNone, 1);
    RegisterExceptionHandler(
        &g_calls, [](IQXException&, bool& handled) { g_calls.push_back("method"), handled = true; },
        kSyncNone, 1);
    EXPECT_TRUE(Run(kEventException));
    EXPECT_THAT(g_calls, ElementsAre("method"));
    EXPECT_TRUE(lastHandled);
}

TEST_F(HandlerLists, AbovePhaseTwoEveryEntryRunsAndHandledIsReset) {
    RegisterExceptionHandler(ProcHandles, kSyncNone, 3);
    RegisterExceptionHandler(ProcA, kSyncNone, 3);
    e.phase = 3;
    EXPECT_TRUE(Run(kEventException));
    EXPECT_THAT(g_calls, ElementsAre("procHandles", "procA"));
    EXPECT_FALSE(lastHandled);
}

TEST_F(HandlerLists, OnlyTheExceptionsPhaseAndTheMatchingSyncPassRun) {
    RegisterExceptionHandler(ProcA, kSyncNone, 2);
    RegisterExceptionHandler(ProcHandles, kSyncMainOnly, 1);
    EXPECT_FALSE(Run(kEventException)) << "phase 2 entry at phase 1, sync entry off the main pass";
    EXPECT_TRUE(Run(kEventException, true));
    EXPECT_THAT(g_calls, ElementsAre("procHandles"));
    g_calls.clear();
    // A failed main-thread pass runs only mode-2 entries.
    EXPECT_FALSE(Run(kEventException, true, true));
    RegisterExceptionHandler(ProcHandles, kSyncMainOrHere, 1); // re-registering updates the mode
    EXPECT_TRUE(Run(kEventException, true, true));
    EXPECT_THAT(g_calls, ElementsAre("procHandles"));
}

TEST_F(HandlerLists, AFailingHandlerIsSwallowedAndTheWalkGoesOn) {
    RegisterExceptionHandler(ProcThrows, kSyncNone, 1);
    RegisterExceptionHandler(ProcA, kSyncNone, 1);
    EXPECT_NO_THROW(Run(kEventException));
    EXPECT_THAT(g_calls, ElementsAre("procThrows", "procA"));
}

TEST_F(HandlerLists, HiddenHandlersStartHandledSoOnlyTheFirstRunsUnlessOneClearsIt) {
    RegisterHiddenExceptionHandler(ProcA, kSyncNone);
    RegisterHiddenExceptionHandler(ProcHandles, kSyncNone);
    // Empty method list: procedures run although handled is already set.
    EXPECT_TRUE(Run(kEventHidden, false, false, true));
    EXPECT_THAT(g_calls, ElementsAre("procA"));
    EXPECT_TRUE(lastHandled);
}

TEST_F(HandlerLists, ActionHandlersGetTheCodeAndUnregisterRemoves) {
    RegisterActionHandler(ActionProc, kSyncNone);
    TFireHandlersParams p;
    p.eventType = kEventAction;
    p.action = kActionRestart;
    p.exception = &e;
    EXPECT_TRUE(RunHandlerLists(p));
    UnregisterActionHandler(ActionProc);
    EXPECT_FALSE(RunHandlerLists(p));
    EXPECT_THAT(g_calls, ElementsAre("action 5"));
    EXPECT_TRUE(HandlersExist(kEventAction) == false);
}

TEST(ClassFilters, FirstMatchingListWinsAncestorsCountCaseIsIgnored) {
    const std::vector<std::string> chain = {"EAccessViolation", "EExternal", "Exception"};
    EXPECT_EQ(SelectClassFilter(chain, "EConvertError, eexternal", "EAccessViolation"), 1);
    EXPECT_EQ(SelectClassFilter(chain, "EConvertError", " EAccessViolation ,X"), 2);
    EXPECT_EQ(SelectClassFilter(chain, "", ""), 0);
    EXPECT_EQ(SelectClassFilter(chain, "EAccess", "Violation"), 0) << "whole names only";
    EXPECT_EQ(SelectClassFilter({}, "Exception", "Exception"), 0);
}
