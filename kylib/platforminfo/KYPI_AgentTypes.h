// The agent-type tables of the application agents' component classes: the job manager's
// numbering of agent types beside the agent enumeration, the registry section of each
// agent type, and its display name.
//
// Pure data: fixed tables, no store access and no state, so every function may be called
// from any thread. Texts returned are static and never freed.
//
// The agent enumeration numbers the agents as the component classes do (1 file system,
// 2 groupware documents, ..., 117 virtual server); the job manager numbers the same agents
// its own way, and the two are converted at the boundary. 0 is never an agent in either.
#pragma once

namespace kypi_agent {

// The agent enumeration's value of the public-folder data migrator, the one agent whose
// class is given its type in the job manager's numbering (82).
constexpr int kPubFolderDataMigratorType = 78;

// The job manager's agent number to the agent enumeration; 0 for a number it does not
// know.
int convertAMToEnumAAT(int amType);
// The agent enumeration to the job manager's number; 0 for a type the job manager does
// not number.
int convertEnumToAMAAT(int enumType);

// The section (below the instance root) that holds the settings of an agent of that type.
// Null when the type has none: such an agent has nowhere to read or write and must fail,
// never fall back to the instance root.
const char* sectionName(int enumType);

// The agent's display name (what getAATName gives); null for a type not in the
// enumeration.
const char* displayName(int enumType);

}  // namespace kypi_agent
