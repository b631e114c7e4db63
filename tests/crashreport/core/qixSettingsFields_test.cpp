#include "crashreport/core/qixSettingsFields.h"

#include <gtest/gtest.h>

using namespace qix;

namespace {
std::string Names(const IQXFields& f) {
    std::string out;
    for (int i = 0; i < f.ItemCount(); ++i)
        out += f.Item(i) + ",";
    return out;
}
} // namespace

TEST(QixFields, IgnoresDataUntilSwitchedOn) {
    TIQXFields f;
    f.Add("a", "1");
    f.Insert(0, "b", "2");
    EXPECT_EQ(f.ItemCount(), 0);
    f.AcceptData();
    f.Add("a", "1");
    EXPECT_EQ(f.ItemCount(), 1);
}

TEST(QixFields, AddReplacesTrimsAndDeletes) {
    TIQXFields f;
    f.AcceptData();
    f.Add("Name", " x ");
    f.Add("Other", "y");
    f.Add("NAME", "z");
    EXPECT_EQ(Names(f), "NAME,Other,");
    EXPECT_EQ(f.Contents("name"), "z");
    EXPECT_EQ(f.FindItem("other"), 1);
    EXPECT_EQ(f.FindItem("missing"), -1);
    f.Add("Other", "\r\n ");
    EXPECT_EQ(Names(f), "NAME,");
    EXPECT_EQ(f.Item(5), "");
}

TEST(QixFields, InsertMovesExistingItemAndAddPosition) {
    TIQXFields f;
    f.AcceptData();
    for (auto n : {"a", "b", "c", "d"})
        f.Add(n, n);
    f.SetAddPosition(2);
    f.Add("new", "1"); // goes to the add position
    EXPECT_EQ(Names(f), "a,b,new,c,d,");
    f.Insert(0, "d", "moved"); // existing item is taken out first
    EXPECT_EQ(Names(f), "d,a,b,new,c,");
    f.Insert(4, "a", "again"); // it stood before the index: index moves down by one
    EXPECT_EQ(Names(f), "d,b,new,a,c,");
    EXPECT_EQ(f.Contents("a"), "again");
    f.Insert(99, "tail", "t");
    EXPECT_EQ(f.Item(f.ItemCount() - 1), "tail");
    f.Insert(-5, "head", "h");
    EXPECT_EQ(f.Item(0), "head");
    f.Insert(1, "empty", "  ");
    EXPECT_EQ(f.FindItem("empty"), -1);
}

TEST(QixFields, DeleteAndClone) {
    TIQXFields f;
    f.AcceptData();
    f.Add("a", "1");
    f.Add("b", "2");
    auto copy = f.Clone();
    f.Delete("A");
    f.Delete(7);
    EXPECT_EQ(Names(f), "b,");
    EXPECT_EQ(Names(*copy), "a,b,");
    copy->Add("c", "3"); // a clone accepts data
    EXPECT_EQ(copy->ItemCount(), 3);
}

TEST(QixAttachments, DefaultsForSendAsAndField) {
    TIQXAttachments a;
    a.Add("");
    EXPECT_EQ(a.ItemCount(), 0);
    a.Add("c:\\dir\\report.tar.gz");
    a.Add("noext", "", "z.zip", "fld");
    std::string file, sendAs, zip, field;
    ASSERT_TRUE(a.GetItem(0, file, sendAs, zip, field));
    EXPECT_EQ(sendAs, "report.tar.gz");
    EXPECT_EQ(field, "report.tar");
    ASSERT_TRUE(a.GetItem(1, file, sendAs, zip, field));
    EXPECT_EQ(sendAs, "noext");
    EXPECT_EQ(zip, "z.zip");
    EXPECT_EQ(field, "fld");
    EXPECT_FALSE(a.GetItem(2, file, sendAs, zip, field));
    auto copy = a.Clone();
    a.Clear();
    EXPECT_EQ(copy->ItemCount(), 2);
}
