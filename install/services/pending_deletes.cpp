// Working off the run's own list of files still to delete.
#include "run/install_context.h"
#include "services/pending_files.h"

void DeletePendingFiles(InstallContext& ctx) {
    LogPrint(ctx, "DeleteFile-try");
    PathNode** link = &ctx.pendingDeletes;
    while (*link != nullptr) {
        PathNode* node = *link;
        if (node->path == nullptr || DeleteFileW(node->path) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            *link = node->next;
            node->next = nullptr;
            PathListFree(node);
        } else {
            link = &node->next;
        }
    }
}
