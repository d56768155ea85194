/* carrier's notices to the launcher's address service about its rank on a
 * remote host: a request of the address protocol, TARVO_NOTICE_SIZE bytes
 * (code, identifier, tag, address text, host name, port). TARVO_STARTED:
 * the rank's program has started (its remote login is over), with the rank
 * in the identifier field and the program's pid on its host, which is also
 * its process group, in the tag field. TARVO_ENDED: the program has ended,
 * the same fields and its wait status in the port field. Never answered.
 * The fields as the int32_t words of the notice: TARVO_NOTICE_RANK,
 * TARVO_NOTICE_PID, TARVO_NOTICE_STATUS. C, for carrier: protocol.h takes
 * STARTED from here, and messages.h checks the size and the fields against
 * AddressMessage. */
#ifndef TARVO_COMMON_STARTED_NOTICE_H
#define TARVO_COMMON_STARTED_NOTICE_H

enum { TARVO_STARTED = 7, TARVO_ENDED = 8, TARVO_NOTICE_SIZE = 176 };
enum { TARVO_NOTICE_RANK = 1, TARVO_NOTICE_PID = 2, TARVO_NOTICE_STATUS = 43 };

#endif /* TARVO_COMMON_STARTED_NOTICE_H */
