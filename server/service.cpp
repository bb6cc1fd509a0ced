#include "server/service.h"

#include "lib/log.h"

int32_t service_main(void *arg) {
    (void)arg;
    LOG_ERROR("The service process is not built yet.");
    return 1;
}
