// Putting back what an earlier run left in the install journal.
#pragma once

struct InstallContext;

// After the snapshot, before anything is removed. An install adds every journalled printer that
// no longer exists again (it joins savedSettings) and lays the journal's settings over one that
// exists bare; an uninstall drops the printer entries. Parked printers go back to their ports, or
// wait on the list of parked printers until the product's port is there again. Every replayed
// entry is a line in the log; a journal that cannot be read is error 21.
void ReplayJournal(InstallContext& ctx);
