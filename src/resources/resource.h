/* Identifiers of the program's resources and of the controls and commands of its
   window, in one place. Also read by the resource compiler, so plain C macros only. */
#pragma once

/* Resources */
#define IDI_PROGRAM 1  /* icon group */
#define IDR_MANIFEST 1 /* CREATEPROCESS_MANIFEST_RESOURCE_ID */

/* System-menu command */
#define IDM_ABOUT 1

/* Timers on the main window */
#define TIMER_REFRESH 1   /* download screen refresh, 50 ms; installer watch, 200 ms */
#define TIMER_RECONNECT 2 /* reconnect after a network failure, 5000 ms */

/* Controls of the sign-in screen */
#define IDC_USER_NAME 100
#define IDC_PASSWORD 101
#define IDC_SIGN_IN_OK 102

/* Controls of the download screen */
#define IDC_STOP 100
#define IDC_PAUSE 101

/* Control of the finished screen */
#define IDC_FINISHED_OK 100
