<?php
// For a publisher whose server runs PHP: put this file at /version/down_update.php and the
// record `signrelease record` wrote beside it as down_update.json. The record goes out as
// written: its signature covers those bytes. It is sent with validators, as a static file
// would be, so that caches and the updater ask again cheaply and get a 304.
$record = __DIR__ . '/down_update.json';
$body = @file_get_contents($record);
$modified = @filemtime($record);
if ($body === false || $modified === false) {
    http_response_code(503);
    header('Content-Type: text/plain; charset=utf-8');
    header('Retry-After: 300');
    echo "no release record\n";
    exit;
}
$etag = '"' . substr(hash('sha256', $body), 0, 32) . '"';
$lastModified = gmdate('D, d M Y H:i:s', $modified) . ' GMT';
header('Cache-Control: public, max-age=300');
header('ETag: ' . $etag);
header('Last-Modified: ' . $lastModified);

// If-None-Match wins over If-Modified-Since, as RFC 9110 has it.
$tags = $_SERVER['HTTP_IF_NONE_MATCH'] ?? null;
$since = $_SERVER['HTTP_IF_MODIFIED_SINCE'] ?? null;
if ($tags !== null) {
    $unchanged = in_array($etag, array_map('trim', explode(',', $tags)), true) || trim($tags) === '*';
} else {
    $sinceTime = $since === null ? false : strtotime($since);
    $unchanged = $sinceTime !== false && $sinceTime >= $modified;
}
if ($unchanged) {
    http_response_code(304);
    exit;
}
header('Content-Type: application/json');
header('Content-Length: ' . strlen($body));
echo $body;
