#include "server/plugins.h"

std::atomic<auth_fn> auth_hook{nullptr};
