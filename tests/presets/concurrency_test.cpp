#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "temp_dir.h"

namespace {

TEST(PresetsConcurrencyTest, ThreadsSharingOneReaderWriteTheirOwnChannels) {
    presets_test::TempDir dir;
    constexpr int kChannels = 4;
    constexpr int kRecords = 8;
    {
        vostrel::TSmartPtr<CXMLPrepositionReader> storage(
            new CXMLPrepositionReader("JVC", dir.Path()));
        ASSERT_TRUE(storage->Open("presets.xml"));
        std::vector<std::thread> threads;
        std::vector<int> failures(kChannels, 0);
        for (int channel = 0; channel < kChannels; ++channel) {
            // Each thread holds its own copy of the shared pointer, as each channel's list does.
            threads.emplace_back([storage, channel, &failures]() mutable {
                for (int i = 0; i < kRecords; ++i) {
                    std::string name = "ch" + std::to_string(channel) + "-" + std::to_string(i);
                    if (!storage->WritePreposition(channel, i,
                                                   {name, uint32_t(channel * 100 + i)})) {
                        ++failures[channel];
                    }
                }
                storage.Release();
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(failures, std::vector<int>(kChannels, 0));
        EXPECT_EQ(storage.UseCount(), 1);
    }
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int i = 0; i < kRecords; ++i) {
            PrepositionRecord record;
            ASSERT_TRUE(reader.ReadPreposition(channel, i, record)) << channel << "/" << i;
            EXPECT_EQ(record.name, "ch" + std::to_string(channel) + "-" + std::to_string(i));
            EXPECT_EQ(record.slot, uint32_t(channel * 100 + i));
        }
    }
}

}  // namespace
