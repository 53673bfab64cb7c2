/* Delivering the answer to the server: written whole, while what is left
 * of the request body is read and thrown away. */
#ifndef MPREAD_UPLOAD_DELIVER_H
#define MPREAD_UPLOAD_DELIVER_H

#include <glib.h>

#include "settings.h"

/* Writes the answer to standard output. Under a web server, when some of
 * the body may be left unread and the declared length (if any) is within
 * settings->drain_bytes, it also reads standard input to its end, at most
 * drain_bytes, within the idle and total time limits; standard output is
 * closed as soon as the answer is out. Call after timers_stop(): the time
 * limits here end the reading, never with a second answer. */
void deliver(const GString *answer, const Settings *settings);

#endif
