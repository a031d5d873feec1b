<?php
// PHP's SoapClient (Debian's php-cli and php-soap) against a running GUI connector, with
// a client built from the installed WSDL alone. Prints one line per step,
// "step<TAB>JSON", for tests/interop/php_soap_test.cpp to compare:
//   get-blockedFile2     a two-way read
//   READY                then get-lastScannedFile, a long poll on the same kept-alive
//                        connection, released by the lastScannedFile the caller sends
//   reload               one-way, from a client without keep-alive (Connection: close);
//                        SoapClient does not wait for a reply to a one-way call
//   get-blockedFile      an index that is no number: the daemon's type fault
//   FAULTS               then, once the caller has made forwarding fail and answered
//                        with a line on stdin, an unknown client id and a failed
//                        forward on the SOAP 1.1 and the SOAP 1.2 port ("1.1 ping")
// usage: php php_check.php WSDL URL. Exits 0 when every step went as expected.

if ($argc != 3) {
    fwrite(STDERR, "usage: php php_check.php WSDL URL\n");
    exit(2);
}
[, $wsdl, $url] = $argv;
// A long poll the daemon never answers fails the check instead of hanging it.
ini_set('default_socket_timeout', '30');

function show(string $step, $value): void
{
    echo $step, "\t", json_encode($value, JSON_UNESCAPED_SLASHES), "\n";
    flush();
}

$options = ['location' => $url, 'cache_wsdl' => WSDL_CACHE_NONE, 'connection_timeout' => 10];
try {
    // keep_alive is SoapClient's default: the reads and the long poll share a connection,
    // and the daemon keeps the long polls' news per connection.
    $client = new SoapClient($wsdl, $options);
    show('get-blockedFile2', $client->__soapCall('get-blockedFile2', [['index' => 0]]));
    echo "READY\n";
    flush();
    show('get-lastScannedFile', $client->__soapCall('get-lastScannedFile', [[]]));

    $oneWay = new SoapClient($wsdl, $options + ['keep_alive' => false]);
    show('reload', $oneWay->__soapCall('reload', [[]]));
} catch (SoapFault $f) {
    fwrite(STDERR, "unexpected fault: {$f->faultcode}: {$f->faultstring}\n");
    exit(1);
}

// The WSDL says xsd:unsignedInt; a SoapVar sends letters anyway, as a broken client would.
try {
    $client->__soapCall('get-blockedFile', [['index' => new SoapVar('abc', XSD_STRING)]]);
    show('get-blockedFile', 'no fault');
} catch (SoapFault $f) {
    show('get-blockedFile', ['faultcode' => $f->faultcode, 'faultstring' => $f->faultstring]);
}

// SoapClient reads no reply to a one-way call; this one does, so that its fault is seen.
class ReadsOneWayReplies extends SoapClient
{
    public function __doRequest($request, $location, $action, $version, $oneWay = false): ?string
    {
        return parent::__doRequest($request, $location, $action, $version, false);
    }
}

echo "FAULTS\n";
flush();
fgets(STDIN);
foreach (['1.1' => SOAP_1_1, '1.2' => SOAP_1_2] as $name => $version) {
    $c = new ReadsOneWayReplies($wsdl, $options + ['soap_version' => $version]);
    // Client ids count up from 1: this one is never issued.
    foreach (['unregister-client' => ['id' => '18446744073709551615'], 'ping' => []] as $op => $args) {
        try {
            $c->__soapCall($op, [$args]);
            show("$name $op", 'no fault');
        } catch (SoapFault $f) {
            show("$name $op", ['code' => $f->faultcode, 'text' => $f->faultstring]);
        }
    }
}
exit(0);
