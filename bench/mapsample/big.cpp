// Benchmark input: enough library code (regex, streams, containers) for a ~2 MB executable.
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

int main(int argc, char** argv) {
    std::map<std::string, int> counts;
    std::unordered_map<int, std::string> names;
    const std::regex word("[a-z]+([0-9]*)");
    for (int i = 0; i < argc; ++i) {
        std::stringstream in(argv[i]);
        std::string token;
        while (in >> token)
            if (std::regex_match(token, word))
                ++counts[token];
        names[i] = argv[i];
    }
    std::vector<std::wstring> wide{L"a", L"b"};
    std::wcout << wide.size() << L"\n";
    for (const auto& [k, v] : counts)
        std::cout << k << " " << v << "\n";
    return int(names.size());
}
