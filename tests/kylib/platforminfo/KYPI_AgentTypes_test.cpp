#include "kylib/platforminfo/KYPI_AgentTypes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

using kypi_agent::convertAMToEnumAAT;
using kypi_agent::convertEnumToAMAAT;
using kypi_agent::displayName;
using kypi_agent::sectionName;

// Past the end of both numberings, so that a sweep meets every row.
constexpr int kSweepEnd = 300;

std::string text(const char* s) {
    return s != nullptr ? s : "(null)";
}

// The sections that the agents' settings have always been kept in.
TEST(AgentTypes, KnownAgentTypesKeepTheirSections) {
    const struct {
        int type;
        const char* section;
    } rows[] = {
        {1, "FileSystemAgent"},
        {34, "FileSystemAgent"},
        {43, "FileSystemAgent"},
        {44, "FileSystemAgent"},
        {2, "LotusNotesDOCAgent"},
        {53, "LotusNotesDOCAgent"},
        {3, "LotusNotesDBAgent"},
        {51, "LotusNotesDBAgent"},
        {4, "MSSQLAgent"},
        {5, "MSExchangeDBAgent"},
        {6, "MSExchangeMBAgent"},
        {13, "NAS"},
        {25, "ProxyHost"},
        {31, "MSSharePoint"},
        {32, "SANVolBackup"},
        {35, "MSExchangePFAgent"},
        {38, "NDMP_API"},
        {39, "Active Directory"},
        {45, "MSExchangeWebFolderAgent"},
        {46, "MSExchangeDMAgent"},
        {47, "MSSharepointDocAgent"},
        {64, "WinFSDataMigrator"},
        {73, "ImageLevel"},
        {74, "ContentIndexing"},
        {79, "ExchangeArchiver"},
        {103, "Base"},
        {113, "MSSharepointSRMAgent"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(text(sectionName(row.type)), row.section);
    }
}

// Every agent class has a section and a name; the public-folder data migrator is the one
// given in the job manager's numbering.
TEST(AgentTypes, EveryAgentClassHasASectionAndAName) {
    const int classTypes[] = {1,  2,  3,   4,   5,   6,   10,
                              13, 25, 26,  27,  28,  29,  30,
                              31, 32, 34,  35,  39,  43,  44,
                              45, 46, 47,  51,  53,  64,  73,
                              74, 79, 102, 113, 114, 117, kypi_agent::kPubFolderDataMigratorType};
    for (int type : classTypes) {
        SCOPED_TRACE(type);
        EXPECT_NE(sectionName(type), nullptr);
        EXPECT_NE(displayName(type), nullptr);
        EXPECT_NE(convertEnumToAMAAT(type), 0);
    }
    EXPECT_EQ(convertAMToEnumAAT(82), kypi_agent::kPubFolderDataMigratorType);
    EXPECT_EQ(convertEnumToAMAAT(kypi_agent::kPubFolderDataMigratorType), 82);
    EXPECT_EQ(text(sectionName(117)), "VirtualServer");  // past the old range of rows
}

// The two numberings convert into each other and back, each pair both ways; every type
// with a number or a section is one of the enumeration, with a name of its own.
TEST(AgentTypes, TablesAgreeWithEachOther) {
    std::set<std::string> names;
    int numbered = 0;
    for (int n = -1; n < kSweepEnd; ++n) {
        SCOPED_TRACE(n);
        int type = convertAMToEnumAAT(n);
        if (type != 0) {
            ++numbered;
            EXPECT_EQ(convertEnumToAMAAT(type), n);
        }
        int am = convertEnumToAMAAT(n);
        if (am != 0) {
            EXPECT_EQ(convertAMToEnumAAT(am), n);
            EXPECT_NE(displayName(n), nullptr);
        }
        if (sectionName(n) != nullptr) {
            EXPECT_NE(displayName(n), nullptr);
            EXPECT_GT(std::strlen(sectionName(n)), 0u);
        }
        if (const char* name = displayName(n)) {
            EXPECT_GT(std::strlen(name), 0u);
            EXPECT_TRUE(names.insert(name).second) << name << " names two types";
        }
    }
    // The job manager numbers most of the enumeration.
    EXPECT_GT(numbered, 90);
}

TEST(AgentTypes, UnknownTypesHaveNothing) {
    const int unknown[] = {0, -1, 1000};
    for (int n : unknown) {
        SCOPED_TRACE(n);
        EXPECT_EQ(convertAMToEnumAAT(n), 0);
        EXPECT_EQ(convertEnumToAMAAT(n), 0);
        EXPECT_EQ(sectionName(n), nullptr);
        EXPECT_EQ(displayName(n), nullptr);
    }
    // Past the enumeration's end, and a retired number of the job manager.
    EXPECT_EQ(convertEnumToAMAAT(118), 0);
    EXPECT_EQ(sectionName(118), nullptr);
    EXPECT_EQ(displayName(118), nullptr);
    EXPECT_EQ(convertAMToEnumAAT(20), 0);
    // A type of the enumeration without a section: named, numbered, but with nowhere to
    // keep settings.
    EXPECT_NE(displayName(11), nullptr);
    EXPECT_NE(convertEnumToAMAAT(11), 0);
    EXPECT_EQ(sectionName(11), nullptr);
}

}  // namespace
