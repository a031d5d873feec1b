#include "support/tls_certs.h"

#include "support/test_support.h"

const char kTestServerKeyPassword[] = "s3cret";

namespace {

bool sh(const std::string &cmd)
{
    std::string out, err;
    return run_command({"/bin/sh", "-c", cmd}, &out, &err, 60000) == 0;
}

}  // namespace

// EC keys keep the openssl runs short; the server names its loopback address because
// clients that check the host name connect to 127.0.0.1.
bool make_test_certificates(const std::string &d)
{
    const std::string in = "cd " + d + " && ";
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 ";
    const std::string sign = " -days 2 2>/dev/null";
    const std::string pw = kTestServerKeyPassword;
    return sh(in + "openssl req -x509 -nodes " + ec +
              "-keyout ca.key -out ca.pem -subj /CN=test-ca" + sign) &&
           sh(in + "openssl req -x509 -nodes " + ec +
              "-keyout rogue.key -out rogue.pem -subj /CN=rogue-ca" + sign) &&
           sh(in +
              "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > server.ext && "
              "openssl req " +
              ec + "-passout pass:" + pw +
              " -keyout server.key -out server.csr -subj /CN=localhost"
              " 2>/dev/null && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key"
              " -CAcreateserial -extfile server.ext -out server.crt" +
              sign + " && cat server.crt server.key > server.pem") &&
           sh(in + "openssl req -nodes " + ec +
              "-keyout good.key -out good.csr -subj /CN=good 2>/dev/null && openssl x509 -req"
              " -in good.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out good.pem" +
              sign) &&
           sh(in + "openssl req -nodes " + ec +
              "-keyout bad.key -out bad.csr -subj /CN=bad 2>/dev/null && openssl x509 -req"
              " -in bad.csr -CA rogue.pem -CAkey rogue.key -CAcreateserial -out bad.pem" +
              sign);
}
