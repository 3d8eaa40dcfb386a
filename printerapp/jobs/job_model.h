// The model a job's printer was created with (job_flow.cpp).
#ifndef TAVEL_PRINTERAPP_JOBS_JOB_MODEL_H
#define TAVEL_PRINTERAPP_JOBS_JOB_MODEL_H

#include <pappl/pappl.h>

#include "printerapp/system/models.h"

// Null when the printer has no Tavel driver.
const AppModel* appModelOfJob(pappl_job_t* job);

#endif
