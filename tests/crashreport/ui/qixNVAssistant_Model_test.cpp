// Forms built from descriptions, their validation and tab ring, the e-mail rule, the
// assistant definitions of the settings, and what reaches the exception's report lists.
#include "crashreport/ui/qixNVAssistant_Model.h"
#include "tests/crashreport/ui/qixNVAssistantTestException.h"

#include <gtest/gtest.h>

using namespace qix;

namespace {

TNVStreamObject Obj(const char* cls, const char* name,
                    std::vector<std::pair<std::string, std::string>> props = {}) {
    TNVStreamObject o;
    o.className = cls;
    o.name = name;
    o.props = std::move(props);
    return o;
}

std::shared_ptr<TNVForm> Build(TNVAssistant& a, std::vector<TNVStreamObject> children,
                               std::vector<std::pair<std::string, std::string>> props = {}) {
    auto f = a.AppendForm("", {});
    TNVStreamObject root = Obj("TNVForm", "Described", std::move(props));
    root.children = std::move(children);
    f->Apply(root);
    f->Created();
    return f;
}

} // namespace

TEST(CheckMailAddress, EdgeCases) {
    for (const char* good : {"a@b.c", "first.last@example.org", "x+tag@mail-host.example",
                             "a_b@c.d.e", "dot.@before.at"})
        EXPECT_TRUE(CheckMailAddress(good)) << good;
    for (const char* bad :
         {"", " a@b.c", "a@b.c ", "@b.c", "ab.c", "a@bc", "a@.b.c", "a@b@c.d", ".a@b.c", "a@b.c.",
          "a b@c.d", "a@b,c.d", "\xe4@b.c", "a@b.c\t", "a!@b.c"})
        EXPECT_FALSE(CheckMailAddress(bad)) << bad;
}

TEST(FormConversion, StandardButtonsComeFirstAndAbortBtnIsCancel) {
    TNVAssistant a("Lab");
    auto f = Build(a, {Obj("TNVButton", "AbortBtn", {{"Caption", "Quit"}}),
                       Obj("TNVButton", "ContinueBtn", {{"Enabled", "no"}}),
                       Obj("TNVButton", "Extra", {{"Caption", "More"}})});
    ASSERT_EQ(f->ItemCount(), 4);
    EXPECT_EQ(f->Item(0)->Name(), "ContinueBtn");
    EXPECT_EQ(f->Item(0)->Caption(), "Next >");
    EXPECT_FALSE(f->Item(0)->Enabled());
    EXPECT_EQ(f->Item(1)->Caption(), "Skip");
    EXPECT_EQ(f->Item(2)->Name(), "CancelBtn");
    EXPECT_EQ(f->Item(2)->Caption(), "Quit");
    EXPECT_EQ(f->Item(3)->Caption(), "More");
    EXPECT_EQ(f->Name(), "Described"); // the object name, as the form had none
}

TEST(FormConversion, ClassLetterIsIgnoredUnknownThingsAreSkipped) {
    TNVAssistant a("Lab");
    auto f = Build(a,
                   {Obj("XNVEdit", "E", {{"Text", "one%lf%two%LF%three"}, {"Bogus", "1"}}),
                    Obj("TNVSlider", "S", {{"Caption", "no"}}),
                    Obj("TNVCheckBox", "C", {{"Text", "Tick"}, {"Checked", "TRUE"}})},
                   {{"Timer", "250"},
                    {"ActiveControl", "C"},
                    {"Message", "Hello"},
                    {"OnAction", "Unit.Proc"},
                    {"Unknown", "x"}});
    ASSERT_EQ(f->ItemCount(), 5);
    ASSERT_TRUE(f->Edit("e"));
    EXPECT_EQ(f->Edit("E")->Text(), "one\r\ntwo\r\nthree");
    EXPECT_FALSE(f->Label("E")); // wrong kind
    EXPECT_FALSE(f->Edit("S"));
    ASSERT_TRUE(f->CheckBox("C"));
    EXPECT_TRUE(f->CheckBox("C")->Checked());
    EXPECT_EQ(f->CheckBox("C")->Caption(), "Tick");
    EXPECT_EQ(f->timerInterval, 250);
    EXPECT_EQ(f->ActiveControl(), "C");
    EXPECT_EQ(f->Message(), "Hello");
    EXPECT_EQ(f->handlerName, "Unit.Proc");
}

TEST(FormConversion, BooleansAreYesTrueOrOne) {
    for (const char* t : {"yes", "YES", "True", "1"})
        EXPECT_TRUE(ParseNVBool(t)) << t;
    for (const char* f : {"no", "0", "2", "y", "", "on"})
        EXPECT_FALSE(ParseNVBool(f)) << f;
}

TEST(FormConversion, DamagedStreamKeepsItemsBeforeTheDamage) {
    // TPF0, form "F", no props; label "L" with Caption "ok"; then a property of type 5.
    const uint8_t bytes[] = {'T', 'P', 'F', '0', 7,   'T', 'N', 'V', 'F', 'o', 'r', 'm', 1, 'F',
                             0,   8,   'T', 'N', 'V', 'L', 'a', 'b', 'e', 'l', 1,   'L', 7, 'C',
                             'a', 'p', 't', 'i', 'o', 'n', 6,   2,   'o', 'k', 0,   0,   7, 'T',
                             'N', 'V', 'E', 'd', 'i', 't', 1,   'E', 1,   'X', 5};
    TNVAssistant a("Lab");
    std::string problem;
    auto f = a.AppendForm("", bytes, &problem);
    EXPECT_EQ(problem, "Internal error: Invalid assistant resource (5).");
    ASSERT_TRUE(f->Label("L"));
    EXPECT_EQ(f->Label("L")->Caption(), "ok");
    ASSERT_TRUE(f->Edit("E")); // created before its property was cut short
    EXPECT_EQ(f->Edit("E")->Text(), "");
}

TEST(FormValidation, OptionalNeverHoldsContinueBackRequiredEmptyDoes) {
    TNVAssistant a("Lab");
    auto f = Build(
        a, {Obj("TNVEdit", "Opt", {{"Optional", "1"}, {"Valid", "0"}}), Obj("TNVEdit", "Req")});
    EXPECT_FALSE(f->CanContinue());
    f->UpdateContinue();
    EXPECT_TRUE(f->items[kContinueIndex]->forceDisabled);
    f->Edit("Req")->SetText("filled");
    EXPECT_FALSE(f->items[kContinueIndex]->forceDisabled);
    f->Edit("Req")->SetValid(false);
    EXPECT_TRUE(f->items[kContinueIndex]->forceDisabled);
    f->Edit("Req")->SetValid(true);
    f->Edit("Opt")->SetText("");
    EXPECT_TRUE(f->CanContinue());
}

TEST(FormFocus, RingSkipsDisabledAndNonTabItems) {
    TNVAssistant a("Lab");
    auto f = Build(a, {Obj("TNVLabel", "L", {{"Caption", "Name:"}}), Obj("TNVEdit", "A"),
                       Obj("TNVEdit", "B", {{"Enabled", "0"}}), Obj("TNVCheckBox", "C")});
    // Focusable needs a window: pretend every item has one.
    int fake = 1;
    for (auto& i : f->items)
        i->handle = &fake;
    EXPECT_EQ(f->FirstFocus()->Name(), "A"); // first after cancel
    EXPECT_EQ(f->NextFocusable(f->FindItem("A"), false)->Name(), "C");
    EXPECT_EQ(f->NextFocusable(f->FindItem("C"), false)->Name(), "ContinueBtn"); // wraps
    EXPECT_EQ(f->NextFocusable(f->FindItem("ContinueBtn"), true)->Name(), "C");
    f->activeControl = "cancelbtn";
    EXPECT_EQ(f->FirstFocus()->Name(), "CancelBtn");
    f->activeControl = "B"; // disabled: not taken
    EXPECT_EQ(f->FirstFocus()->Name(), "A");
    for (auto& i : f->items)
        i->handle = nullptr;
}

TEST(FormEvents, FormHandlerRunsBeforeTheAssistants) {
    TNVAssistant a("Lab");
    std::vector<std::string> seen;
    a.handler = [&](INVForm&, int action, INVItem*, IQXException*) {
        seen.push_back("assistant " + std::to_string(action));
    };
    auto f = a.AppendForm("F", {});
    f->handler = [&](INVForm&, int action, INVItem*, IQXException*) {
        seen.push_back("form " + std::to_string(action));
    };
    f->Created();
    EXPECT_EQ(seen, (std::vector<std::string>{"form 0", "assistant 0"}));
}

TEST(FormShow, FinishedFormShowsNoMoreAndCancelEndsTheRun) {
    TNVAssistant a("Lab");
    auto first = a.AppendForm("One", {});
    auto second = a.AppendForm("Two", {});
    EXPECT_EQ(second->formNumber, 2);
    EXPECT_EQ(first->formCount, 2);
    first->Close(kResultContinue);
    EXPECT_EQ(first->ShowModal(nullptr), kResultSkip);
}

TEST(AssistantDefinitions, ParsedFromNumberedSettingsUpToTheFirstEmpty) {
    TSettingsResourceWriter w;
    w.AddString("Assistant1", "Send|Before sending|ContactForm|ScrShotForm|DescForm");
    w.AddString("Assistant2", "Save|Saving|DescForm");
    w.AddString("Assistant4", "Hidden|Never|X");
    TIQXSettings settings(std::make_shared<test::TLabEnvironment>(), 1,
                          MakeOwnedRecord(1, w.Finish()));
    auto send = FindAssistantDefinition(settings, "SEND", true);
    ASSERT_TRUE(send);
    EXPECT_EQ(send->title, "Before sending");
    EXPECT_EQ(send->forms, (std::vector<std::string>{"ContactForm", "ScrShotForm", "DescForm"}));
    auto noShot = FindAssistantDefinition(settings, "send", false);
    EXPECT_EQ(noShot->forms, (std::vector<std::string>{"ContactForm", "DescForm"}));
    EXPECT_TRUE(FindAssistantDefinition(settings, "save", false));
    EXPECT_FALSE(FindAssistantDefinition(settings, "Hidden", true)); // after the gap
    EXPECT_FALSE(FindAssistantDefinition(settings, "Sen", true));
    EXPECT_EQ(FormResourceName("ScrShotForm"), "TQXSCRSHOTFORM");
}

TEST(AssistantTransfer, ContinuedFormsReachFieldsAndOwnSections) {
    TNVAssistant a("Lab");
    auto contact =
        Build(a, {Obj("TNVEdit", "NameEdit", {{"OutputName", "contact name"}}),
                  Obj("TNVCheckBox", "MemCheck", {{"OutputName", "remember"}}),
                  Obj("TNVCheckBox", "Quiet", {{"OutputName", "quiet"}, {"Checked", "1"}}),
                  Obj("TNVEdit", "NoOutput", {{"Text", "ignored"}})});
    auto desc = Build(
        a,
        {Obj("TNVEdit", "DescEdit",
             {{"Lines", "4"}, {"OutputType", "otOwnSection"}, {"OutputName", "user description"}}),
         Obj("TNVEdit", "OneLine", {{"OutputType", "ownSection"}, {"OutputName", "single"}})});
    auto skipped = Build(a, {Obj("TNVEdit", "Later", {{"OutputName", "skipped field"}})});
    contact->Edit("NameEdit")->SetText("Ann Smith");
    desc->Edit("DescEdit")->SetText("Clicked save.\r\nThen it froze.");
    desc->Edit("OneLine")->SetText("one");
    skipped->Edit("Later")->SetText("not sent");
    contact->Close(kResultContinue);
    desc->Close(kResultContinue);
    skipped->Close(kResultSkip);

    test::TAssistantException e;
    TransferToException(a, e);
    const std::string report = e.CompleteReport();
    EXPECT_EQ(e.HeaderFields()->Contents("contact name"), "Ann Smith");
    EXPECT_EQ(e.HeaderFields()->Contents("remember"), "no");
    EXPECT_EQ(e.HeaderFields()->Contents("quiet"), "yes");
    EXPECT_EQ(e.HeaderFields()->FindItem("skipped field"), -1);
    EXPECT_EQ(e.SectionFields()->Contents("user description"), "Clicked save.\r\nThen it froze.");
    // A single-line edit cannot make a section: it stays a field.
    EXPECT_EQ(e.SectionFields()->FindItem("single"), -1);
    EXPECT_EQ(e.HeaderFields()->Contents("single"), "one");
    EXPECT_NE(report.find("user description"), std::string::npos);
    EXPECT_NE(report.find("Then it froze."), std::string::npos);
    EXPECT_EQ(report.find("not sent"), std::string::npos);
}

TEST(AssistantTransfer, FormCacheFillsTheFormsNextTime) {
    TNVAssistant first("Lab");
    auto f = Build(first, {Obj("TNVEdit", "NameEdit"), Obj("TNVCheckBox", "MemCheck")});
    f->Edit("NameEdit")->SetText("Ann");
    f->CheckBox("MemCheck")->SetChecked(true);
    f->Close(kResultContinue);
    TIQXFields cache;
    cache.AcceptData();
    StoreFormValues(first, cache);

    TNVAssistant second("Lab");
    auto g = Build(second, {Obj("TNVEdit", "NameEdit"), Obj("TNVCheckBox", "MemCheck")});
    EXPECT_FALSE(g->CanContinue());
    RestoreFormValues(second, cache);
    EXPECT_EQ(g->Edit("NameEdit")->Text(), "Ann");
    EXPECT_TRUE(g->CheckBox("MemCheck")->Checked());
    EXPECT_FALSE(g->items[kContinueIndex]->forceDisabled);
}
