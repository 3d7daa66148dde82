#pragma once
// Reads the NAME.txt listing that tests/fixtures/pcapio.py writes next to
// each capture ("sec frac caplen len hexbytes" per record) and whole files.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

struct ListedRecord {
    int64_t sec = 0;
    int64_t frac = 0;
    uint32_t caplen = 0;
    uint32_t len = 0;
    std::vector<uint8_t> bytes;
};

inline std::vector<ListedRecord> read_listing(const std::string& path)
{
    std::vector<ListedRecord> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        ListedRecord record;
        std::string hex;
        words >> record.sec >> record.frac >> record.caplen >> record.len >> hex;
        if (hex != "-") {
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                record.bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            }
        }
        records.push_back(record);
    }
    return records;
}

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string fixture(const std::string& name)
{
    return std::string(TARVEX_FIXTURE_DIR) + "/pcapio/" + name;
}
