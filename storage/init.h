// Start-up of the databases: the folders, the summary table, the rules table
// and the two next-number counters. Runs once per process; a second call only
// makes sure the folders exist.
#ifndef TARNVEX_STORAGE_INIT_H_
#define TARNVEX_STORAGE_INIT_H_

void InitDatabases();

// Lets the next InitDatabases run in full again (tests).
void ResetInitDatabases();

#endif  // TARNVEX_STORAGE_INIT_H_
