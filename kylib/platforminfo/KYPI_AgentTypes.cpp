#include "kylib/platforminfo/KYPI_AgentTypes.h"

#include <cstddef>

namespace kypi_agent {
namespace {

struct AgentNumbers {
    int am;
    int enumType;
};

// The job manager's numbering, ours: it keeps the agent enumeration's numbers below 20,
// runs 2 ahead of it from there (20 and 21 are retired) and 4 ahead from 60 on (62 and 63
// too). The agent types that the job manager never schedules (the base services, the
// replication and cloud connectors) have no number of its own.
constexpr AgentNumbers kAgentNumbers[] = {
    {1, 1},    {2, 2},    {3, 3},    {4, 4},     {5, 5},     {6, 6},     {7, 7},     {8, 8},
    {9, 9},    {10, 10},  {11, 11},  {12, 12},   {13, 13},   {14, 14},   {15, 15},   {16, 16},
    {17, 17},  {18, 18},  {19, 19},  {22, 20},   {23, 21},   {24, 22},   {25, 23},   {26, 24},
    {27, 25},  {28, 26},  {29, 27},  {30, 28},   {31, 29},   {32, 30},   {33, 31},   {34, 32},
    {35, 33},  {36, 34},  {37, 35},  {38, 36},   {39, 37},   {40, 38},   {41, 39},   {42, 40},
    {43, 41},  {44, 42},  {45, 43},  {46, 44},   {47, 45},   {48, 46},   {49, 47},   {50, 48},
    {51, 49},  {52, 50},  {53, 51},  {54, 52},   {55, 53},   {56, 54},   {57, 55},   {58, 56},
    {59, 57},  {60, 58},  {61, 59},  {64, 60},   {65, 61},   {66, 62},   {67, 63},   {68, 64},
    {69, 65},  {70, 66},  {71, 67},  {72, 68},   {73, 69},   {74, 70},   {75, 71},   {76, 72},
    {77, 73},  {78, 74},  {79, 75},  {80, 76},   {81, 77},   {82, 78},   {83, 79},   {84, 80},
    {85, 81},  {86, 82},  {87, 83},  {88, 84},   {89, 85},   {90, 86},   {91, 87},   {92, 88},
    {93, 89},  {94, 90},  {95, 91},  {96, 92},   {97, 93},   {98, 94},   {99, 95},   {100, 96},
    {101, 97}, {102, 98}, {103, 99}, {104, 100}, {105, 101}, {106, 102}, {117, 113}, {118, 114},
    {121, 117}};

struct AgentSection {
    int enumType;
    const char* section;
};

// The section of each agent type that has one, by type. Several types share a section:
// the file-system family, the groupware agents of either platform, the two mail data
// migrators. The types not listed have no section (no component class of ours uses them).
constexpr AgentSection kAgentSections[] = {
    {1, "FileSystemAgent"},
    {2, "LotusNotesDOCAgent"},
    {3, "LotusNotesDBAgent"},
    {4, "MSSQLAgent"},
    {5, "MSExchangeDBAgent"},
    {6, "MSExchangeMBAgent"},
    {7, "FileSystemAgent"},
    {8, "FileSystemAgent"},
    {9, "FileSystemAgent"},
    {10, "NDSAgent"},
    {13, "NAS"},
    {20, "FileSystemAgent"},
    {25, "ProxyHost"},
    {26, "SwiftelEXDBAgent"},
    {27, "SwiftelEXMBAgent"},
    {28, "SwiftelEX2KDBAgent"},
    {29, "SwiftelEX2KMBAgent"},
    {30, "SwiftelFSAgent"},
    {31, "MSSharePoint"},
    {32, "SANVolBackup"},
    {33, "FileSystemAgent"},
    {34, "FileSystemAgent"},
    {35, "MSExchangePFAgent"},
    {38, "NDMP_API"},
    {39, "Active Directory"},
    {43, "FileSystemAgent"},
    {44, "FileSystemAgent"},
    {45, "MSExchangeWebFolderAgent"},
    {46, "MSExchangeDMAgent"},
    {47, "MSSharepointDocAgent"},
    {51, "LotusNotesDBAgent"},
    {53, "LotusNotesDOCAgent"},
    {61, "FileSystemAgent"},
    {64, "WinFSDataMigrator"},
    {73, "ImageLevel"},
    {74, "ContentIndexing"},
    {78, "MSExchangeDMAgent"},
    {79, "ExchangeArchiver"},
    {86, "FileSystemAgent"},
    {87, "FileSystemAgent"},
    {91, "FileSystemAgent"},
    {102, "LotusNotesDBAgent"},
    {103, "Base"},
    {113, "MSSharepointSRMAgent"},
    {114, "MSExchangeOnlineCIAgent"},
    {117, "VirtualServer"},
};

struct AgentName {
    int enumType;
    const char* name;
};

// Every type of the agent enumeration, by type.
constexpr AgentName kAgentNames[] = {
    {1, "File System"},
    {2, "Groupware Documents"},
    {3, "Groupware Database"},
    {4, "Relational Database"},
    {5, "Mail Server Database"},
    {6, "Mailbox"},
    {7, "File System (Unix)"},
    {8, "File System (Workstation)"},
    {9, "File System (Legacy Server)"},
    {10, "Directory Service"},
    {11, "Relational Database (Unix)"},
    {12, "Object Database"},
    {13, "Network Storage"},
    {14, "Hierarchical Storage"},
    {15, "Enterprise Database"},
    {16, "Enterprise Database (Unix)"},
    {17, "Application Server Database"},
    {18, "Mail Gateway"},
    {19, "Archive Database"},
    {20, "File System (Cluster)"},
    {21, "Object Store"},
    {22, "Relational Database 2"},
    {23, "Relational Database 2 (Unix)"},
    {24, "Document Management"},
    {25, "Proxy Host"},
    {26, "Partner Mail Database"},
    {27, "Partner Mailbox"},
    {28, "Partner Mail Database 2"},
    {29, "Partner Mailbox 2"},
    {30, "Partner File System"},
    {31, "Document Portal"},
    {32, "SAN Volume"},
    {33, "File System (Mainframe)"},
    {34, "File System (64-bit Workstation)"},
    {35, "Mail Public Folders"},
    {36, "Open Database"},
    {37, "Open Database (Unix)"},
    {38, "Network Data Management"},
    {39, "Directory Objects"},
    {40, "Image Backup (Unix)"},
    {41, "Mail Server Database 2"},
    {42, "Mailbox 2"},
    {43, "File System (32-bit Server)"},
    {44, "File System (64-bit Server)"},
    {45, "Mail Web Folders"},
    {46, "Mail Data Migrator"},
    {47, "Document Portal Documents"},
    {48, "Embedded Database"},
    {49, "Workflow Database"},
    {50, "Search Index"},
    {51, "Groupware Database (Unix)"},
    {52, "Mainframe Database"},
    {53, "Groupware Documents (Unix)"},
    {54, "Snapshot Engine"},
    {55, "Continuous Replication"},
    {56, "Volume Replication"},
    {57, "Message Queue"},
    {58, "Time-Series Database"},
    {59, "In-Memory Database"},
    {60, "Columnar Database"},
    {61, "File System (Appliance)"},
    {62, "Block Storage"},
    {63, "Key-Value Store"},
    {64, "File System Data Migrator"},
    {65, "File System Data Migrator (Unix)"},
    {66, "Network Storage Data Migrator"},
    {67, "Mail Journal"},
    {68, "Collaboration Server"},
    {69, "Calendar Server"},
    {70, "Instant Messaging"},
    {71, "Web Server Content"},
    {72, "Source Repository"},
    {73, "Image Level"},
    {74, "Content Indexing"},
    {75, "Virtual Machine Image"},
    {76, "Container Volumes"},
    {77, "Cloud Object Storage"},
    {78, "Mail Public Folder Data Migrator"},
    {79, "Mail Archiver"},
    {80, "Document Portal Archiver"},
    {81, "File System Archiver (Unix)"},
    {82, "Network Storage Archiver"},
    {83, "Compliance Archive"},
    {84, "Mail Compliance Archive"},
    {85, "Directory Service (Unix)"},
    {86, "Distributed File System"},
    {87, "Parallel File System"},
    {88, "Scale-Out Storage"},
    {89, "Backup Appliance"},
    {90, "Tape Vault"},
    {91, "File System (Endpoint)"},
    {92, "Mobile Device"},
    {93, "Hypervisor Host"},
    {94, "Hypervisor Cluster"},
    {95, "Desktop Image"},
    {96, "Application Server"},
    {97, "Business Suite Database"},
    {98, "Customer Records Database"},
    {99, "Analytics Warehouse"},
    {100, "Data Lake"},
    {101, "Message Archive Index"},
    {102, "Groupware Database 6 (Unix)"},
    {103, "Base Services"},
    {104, "Log Shipping"},
    {105, "Database Replica"},
    {106, "Storage Snapshot Manager"},
    {107, "Array Replication"},
    {108, "Cloud Database"},
    {109, "Cloud Mailbox"},
    {110, "Cloud Document Portal"},
    {111, "Cloud File Share"},
    {112, "Cloud Directory"},
    {113, "Document Portal Resource Manager"},
    {114, "Mail Online Content Indexing"},
    {115, "Object Storage Archiver"},
    {116, "Database Archiver"},
    {117, "Virtual Server"},
};

// Each table is kept in rising order of its key, which also proves that no key is listed
// twice (a second row would never be found).
template <class Row, std::size_t N, class Key>
constexpr bool risingKeys(const Row (&rows)[N], Key keyOf) {
    for (std::size_t i = 1; i < N; ++i) {
        if (!(keyOf(rows[i - 1]) < keyOf(rows[i])))
            return false;
    }
    return true;
}
static_assert(risingKeys(kAgentNumbers, [](const AgentNumbers& row) { return row.am; }));
static_assert(risingKeys(kAgentNumbers, [](const AgentNumbers& row) { return row.enumType; }));
static_assert(risingKeys(kAgentSections, [](const AgentSection& row) { return row.enumType; }));
static_assert(risingKeys(kAgentNames, [](const AgentName& row) { return row.enumType; }));

// The tables are small and read rarely (once per component object): a linear search.
template <class Row, std::size_t N, class KeyOf, class ValueOf, class Value>
Value find(const Row (&rows)[N], int key, KeyOf keyOf, ValueOf valueOf, Value none) {
    for (const Row& row : rows) {
        if (keyOf(row) == key)
            return valueOf(row);
    }
    return none;
}

}  // namespace

int convertAMToEnumAAT(int amType) {
    return find(
        kAgentNumbers, amType, [](const AgentNumbers& row) { return row.am; },
        [](const AgentNumbers& row) { return row.enumType; }, 0);
}

int convertEnumToAMAAT(int enumType) {
    return find(
        kAgentNumbers, enumType, [](const AgentNumbers& row) { return row.enumType; },
        [](const AgentNumbers& row) { return row.am; }, 0);
}

const char* sectionName(int enumType) {
    return find(
        kAgentSections, enumType, [](const AgentSection& row) { return row.enumType; },
        [](const AgentSection& row) { return row.section; }, static_cast<const char*>(nullptr));
}

const char* displayName(int enumType) {
    return find(
        kAgentNames, enumType, [](const AgentName& row) { return row.enumType; },
        [](const AgentName& row) { return row.name; }, static_cast<const char*>(nullptr));
}

}  // namespace kypi_agent
