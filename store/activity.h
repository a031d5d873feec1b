// Counters of what the daemon did, for the metrics page: status messages received per
// transport and skipped as short (the intake loop on the main thread), SOAP requests
// served and faults sent (the connection threads). Each is a relaxed atomic, written by
// whoever does the counted thing and read by anyone; no lock.
#ifndef GC_STORE_ACTIVITY_H
#define GC_STORE_ACTIVITY_H

enum activity {
    ACTIVITY_RECEIVED_MSGQ,   // status messages taken off the message queue
    ACTIVITY_RECEIVED_UDP,    // status datagrams received
    ACTIVITY_TOO_SHORT,       // of those, skipped as shorter than a record
    ACTIVITY_SOAP_REQUESTS,   // POST requests read whole
    ACTIVITY_SOAP_FAULTS,     // failed requests answered with a fault
    ACTIVITY_IDLE_TIMEOUTS,   // kept-alive connections closed after waiting too long idle
    ACTIVITY_IDLE_EVICTIONS,  // idle connections closed to make room for a new client
    ACTIVITY_COUNT,
};

// Adds one to counter which; out-of-range values are ignored.
void activity_count(int which);
// The counter's value; 0 for an out-of-range which.
long long activity_get(int which);
// When the process started, in seconds since the epoch (taken before main runs).
double activity_start_time(void);

#endif
