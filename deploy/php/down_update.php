<?php
// For a publisher whose server runs PHP: put this file at /version/down_update.php and the
// record `signrelease record` wrote beside it as down_update.json. The record goes out as
// written: its signature covers those bytes.
$record = __DIR__ . '/down_update.json';
$body = @file_get_contents($record);
if ($body === false) {
    http_response_code(503);
    header('Content-Type: text/plain; charset=utf-8');
    header('Retry-After: 300');
    echo "no release record\n";
    exit;
}
header('Content-Type: application/json');
header('Cache-Control: no-cache');
header('Content-Length: ' . strlen($body));
echo $body;
