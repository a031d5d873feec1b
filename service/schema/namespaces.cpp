// The process-wide namespace table that soapcpp2 generates, defined once here:
// soap_new installs it as every context's default, and libgsoapssl++ refers to it.
#include "gui_connector.nsmap"
