/* carrier's notice to the launcher's address service that its rank has
 * started on its host (a remote login is over): a request of the address
 * protocol, TARVO_NOTICE_SIZE bytes (code, identifier, tag, address text,
 * host name, port), with the code TARVO_STARTED and the rank in the
 * identifier field. Never answered. C, for carrier: protocol.h takes STARTED
 * from here, and messages.h checks the size against AddressMessage. */
#ifndef TARVO_COMMON_STARTED_NOTICE_H
#define TARVO_COMMON_STARTED_NOTICE_H

enum { TARVO_STARTED = 7, TARVO_NOTICE_SIZE = 176 };

#endif /* TARVO_COMMON_STARTED_NOTICE_H */
