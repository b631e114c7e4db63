// The expanded box: tabs over the report's header and sections, each shown as an
// owner-drawn list view built by the report-text parsers, or as a read-only edit.
#include "crashreport/ui/qixExceptBoxWin.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>

namespace qix {
namespace {

std::vector<std::string> SplitTabs(const std::string& row) {
    std::vector<std::string> cells;
    size_t start = 0;
    while (true) {
        const size_t tab = row.find('\t', start);
        cells.push_back(
            row.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return cells;
        start = tab + 1;
    }
}

std::string TrimCell(std::string s, bool upper) {
    const size_t b = s.find_first_not_of(' ');
    const size_t e = s.find_last_not_of(' ');
    s = b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    if (upper)
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

COLORREF Darker(COLORREF c) {
    return RGB(std::max(0, GetRValue(c) - 16), std::max(0, GetGValue(c) - 16),
               std::max(0, GetBValue(c) - 16));
}

} // namespace

std::vector<std::string> TExceptionBox::SectionNames() {
    std::vector<std::string> names;
    auto sections = exception_.SectionFields();
    if (!sections) return names;
    sections->Lock();
    for (int i = 0; i < sections->ItemCount(); ++i)
        names.push_back(sections->Item(i));
    sections->Unlock();
    return names;
}

std::string TExceptionBox::TabContent(int index, std::string& sectionName) {
    sectionName.clear();
    if (index == 0) {
        auto header = exception_.HeaderFields();
        std::string text;
        if (!header) return text;
        header->Lock();
        for (int i = 0; i < header->ItemCount(); ++i) {
            const std::string name = header->Item(i);
            text += name + "\t" + header->Contents(name) + "\r\n";
        }
        header->Unlock();
        return text;
    }
    const std::vector<std::string> names = SectionNames();
    const int threads = ThreadSectionCount(names);
    auto sections = exception_.SectionFields();
    if (!sections) return {};
    if (index == 1) {
        std::string text;
        for (int i = 0; i < threads && i < static_cast<int>(names.size()); ++i) {
            if (i > 0) text += "\r\n\r\n";
            text += ">> " + names[i] + "\r\n" + sections->Contents(names[i]);
        }
        return text;
    }
    const int section = index + threads - 2;
    if (section >= static_cast<int>(names.size())) return {};
    sectionName = names[section];
    return sections->Contents(sectionName);
}

void TExceptionBox::CreateTabs(int x, int y, int width, int height) {
    tabs_ = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, x, y,
                            width, height, window_, nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(tabs_, WM_SETFONT, reinterpret_cast<WPARAM>(font1_), 0);
    oldTabProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(tabs_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(tabThunk_.Proc())));
#if !defined(__i386__)
    SetPropA(tabs_, kBoxProperty, this);
#endif
    RefreshTabs();
}

void TExceptionBox::RefreshTabs() {
    if (!tabs_ || shuttingDown_) return;
    const std::vector<std::string> wanted = WantedTabCaptions(SectionNames());
    bool changed = false;
    for (int i = TabCtrl_GetItemCount(tabs_) - 1; i >= 0; --i) {
        char caption[128] = {};
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption;
        item.cchTextMax = sizeof caption;
        TabCtrl_GetItem(tabs_, i, &item);
        if (std::find(wanted.begin(), wanted.end(), caption) == wanted.end()) {
            TabCtrl_DeleteItem(tabs_, i);
            changed = true;
        }
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        char caption[128] = {};
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption;
        item.cchTextMax = sizeof caption;
        if (static_cast<int>(i) < TabCtrl_GetItemCount(tabs_) &&
            TabCtrl_GetItem(tabs_, static_cast<int>(i), &item) && wanted[i] == caption)
            continue;
        item.pszText = const_cast<char*>(wanted[i].c_str());
        TabCtrl_InsertItem(tabs_, static_cast<int>(i), &item);
        changed = true;
    }
    if (changed) InvalidateRect(tabs_, nullptr, TRUE);
    if (TabCtrl_GetCurSel(tabs_) < 0) TabCtrl_SetCurSel(tabs_, 0);
    ShowTab(TabCtrl_GetCurSel(tabs_));
}

void TExceptionBox::ShowTab(int index) {
    if (shuttingDown_ || index < 0) return;
    std::string sectionName;
    const std::string text = TabContent(index, sectionName);
    if (index == currentTab_ && text == currentContent_) return;
    currentTab_ = index;
    currentContent_ = text;
    TContentFont font;
    const TBoxTable table = ParseTabContent(index, sectionName, text, font);
    FillContent(table, font, text);
}

void TExceptionBox::FillContent(const TBoxTable& table, TContentFont font,
                                const std::string& text) {
    if (content_) DestroyWindow(content_);
    content_ = nullptr;
    RECT area;
    GetClientRect(tabs_, &area);
    TabCtrl_AdjustRect(tabs_, FALSE, &area);
    area.left -= 1;
    area.top += 2;
    InflateRect(&area, -3, -3);
    MapWindowPoints(tabs_, window_, reinterpret_cast<POINT*>(&area), 2);
    const int w = area.right - area.left, h = area.bottom - area.top;
    HFONT useFont = font == TContentFont::Fixed ? font2_ : font1_;
    columns_ = table.columns;
    items_ = table.items;
    if (!table.Usable()) {
        content_ = CreateWindowExA(
            WS_EX_CLIENTEDGE, "Edit", text.c_str(),
            WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
            area.left, area.top, w, h, window_, nullptr, GetModuleHandleA(nullptr), nullptr);
        SendMessageA(content_, WM_SETFONT, reinterpret_cast<WPARAM>(font1_), 0);
        SetWindowPos(content_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        return;
    }
    // The list view shows its scroll bars itself when the rows or columns need them; asked
    // for up front, Wine keeps an empty horizontal one.
    DWORD style = WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_SINGLESEL |
                  LVS_OWNERDRAWFIXED | LVS_NOSORTHEADER | LVS_SHOWSELALWAYS;
    if (!table.headerVisible) style |= LVS_NOCOLUMNHEADER;
    content_ = CreateWindowExA(0, WC_LISTVIEWA, "", style, area.left, area.top, w, h, window_,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(content_, WM_SETFONT, reinterpret_cast<WPARAM>(useFont), 0);
    ListView_SetImageList(content_, imageList_, LVSIL_SMALL);
    for (size_t c = 0; c < table.columns.size(); ++c) {
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH;
        column.fmt = table.columns[c].alignment;
        column.cx = 80;
        column.pszText = const_cast<char*>(table.columns[c].caption.c_str());
        ListView_InsertColumn(content_, static_cast<int>(c), &column);
    }
    for (size_t r = 0; r < table.items.size(); ++r) {
        const std::string& row = table.items[r].text;
        const bool heading = row.rfind(">>", 0) == 0;
        const std::vector<std::string> cells =
            heading ? std::vector<std::string>{">>"} : SplitTabs(row);
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(r);
        std::string first = TrimCell(cells[0], table.columns[0].uppercase);
        item.pszText = const_cast<char*>(first.c_str());
        ListView_InsertItem(content_, &item);
        for (size_t c = 1; c < cells.size() && c < table.columns.size(); ++c) {
            std::string cell = TrimCell(cells[c], table.columns[c].uppercase);
            ListView_SetItemText(content_, static_cast<int>(r), static_cast<int>(c),
                                 const_cast<char*>(cell.c_str()));
        }
    }
    // The owner drawing pads cells by 4 pixels on each side (6 on the left of the first).
    for (size_t c = 0; c < table.columns.size(); ++c) {
        const int i = static_cast<int>(c);
        ListView_SetColumnWidth(content_, i,
                                table.headerVisible ? LVSCW_AUTOSIZE_USEHEADER : LVSCW_AUTOSIZE);
        ListView_SetColumnWidth(content_, i, ListView_GetColumnWidth(content_, i) + 10);
    }
    SetWindowPos(content_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void TExceptionBox::DrawListItem(const DRAWITEMSTRUCT& item) {
    const int row = static_cast<int>(item.itemID);
    if (row < 0 || row >= static_cast<int>(items_.size())) return;
    const TBoxItem& data = items_[row];
    const bool selected = item.itemState & ODS_SELECTED;
    HDC dc = item.hDC;
    SetBkMode(dc, TRANSPARENT);
    const int columns = static_cast<int>(columns_.size());
    if (data.text.rfind(">>", 0) == 0) {
        RECT r = item.rcItem;
        FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        std::string title = data.text.substr(std::min<size_t>(3, data.text.size()));
        if (data.groupTitle) {
            if (!boldFont_) {
                LOGFONTA lf{};
                GetObjectA(reinterpret_cast<HFONT>(SendMessageA(item.hwndItem, WM_GETFONT, 0, 0)),
                           sizeof lf, &lf);
                lf.lfWeight = FW_BOLD;
                boldFont_ = CreateFontIndirectA(&lf);
            }
            HBRUSH frame = CreateSolidBrush(selected ? RGB(160, 160, 160) : RGB(192, 192, 192));
            FrameRect(dc, &r, frame);
            DeleteObject(frame);
        }
        HGDIOBJ old = data.groupTitle && boldFont_ ? SelectObject(dc, boldFont_) : nullptr;
        SetTextColor(dc, data.groupTitle ? RGB(0, 0, 0) : RGB(96, 96, 96));
        r.left += 6;
        DrawTextA(dc, title.c_str(), -1, &r,
                  DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
        if (old) SelectObject(dc, old);
        return;
    }
    for (int c = 0; c < columns; ++c) {
        RECT cell;
        ListView_GetSubItemRect(item.hwndItem, row, c, LVIR_BOUNDS, &cell);
        if (c == 0) cell.right = cell.left + ListView_GetColumnWidth(item.hwndItem, 0);
        COLORREF colour = data.background              ? data.background
                          : columns == 1 || c % 2 == 1 ? RGB(255, 255, 255)
                          : c % 4 == 0                 ? RGB(240, 248, 255)
                                                       : RGB(255, 244, 244);
        if (selected) colour = Darker(colour);
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc, &cell, brush);
        DeleteObject(brush);
        char text[1024] = {};
        ListView_GetItemText(item.hwndItem, row, c, text, sizeof text);
        RECT inner = cell;
        inner.left += c == 0 ? 6 : 4;
        inner.right -= 4;
        const bool path = std::strlen(text) > 2 && text[1] == ':' && text[2] == '\\';
        const UINT align = columns_[c].alignment == 1   ? DT_RIGHT
                           : columns_[c].alignment == 2 ? DT_CENTER
                                                        : DT_LEFT;
        SetTextColor(dc, RGB(0, 0, 0));
        DrawTextA(dc, text, -1, &inner,
                  DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | align |
                      (path ? DT_PATH_ELLIPSIS : DT_END_ELLIPSIS));
    }
    const bool nextTitle = row + 1 < static_cast<int>(items_.size()) && items_[row + 1].groupTitle;
    if (selected) {
        HBRUSH frame = CreateSolidBrush(RGB(176, 176, 176));
        FrameRect(dc, &item.rcItem, frame);
        DeleteObject(frame);
    } else if (!nextTitle) {
        HPEN pen = CreatePen(PS_SOLID, 1, RGB(224, 224, 224));
        HGDIOBJ old = SelectObject(dc, pen);
        MoveToEx(dc, item.rcItem.left, item.rcItem.bottom - 1, nullptr);
        LineTo(dc, item.rcItem.right, item.rcItem.bottom - 1);
        SelectObject(dc, old);
        DeleteObject(pen);
    }
}

LRESULT TExceptionBox::TabProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLOREDIT)
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    return CallWindowProcA(oldTabProc_, tabs_, message, wParam, lParam);
}

} // namespace qix
