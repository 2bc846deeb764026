#!/usr/bin/perl
# Time page for Zelmora: prints the current UTC time of day as "hh:mm:ss UTC".
# The client reads the 8 characters before the first " UTC" in the body, so
# nothing before the time may contain that text, and the body must stay at
# least 100 characters long. Method, query string and input are ignored on
# purpose: every request gets the same page.
use strict;
use warnings;

# One clock reading, so the time and the date can never disagree.
my ($sec, $min, $hour, $mday, $mon, $year) = gmtime(time);
my $clock = sprintf '%02d:%02d:%02d', $hour, $min, $sec;
my $date  = sprintf '%04d-%02d-%02d', $year + 1900, $mon + 1, $mday;

my $body = <<"HTML";
<!DOCTYPE html>
<html lang="en">
<head><meta charset="us-ascii"><title>Current time</title></head>
<body>
<p>$clock UTC</p>
<p>$date</p>
</body>
</html>
HTML

binmode STDOUT;
print "Content-Type: text/html; charset=us-ascii\r\n",
      "Cache-Control: no-store\r\n",
      "Content-Length: ", length($body), "\r\n",
      "\r\n";
# A server answering HEAD drops the body itself, but not sending it is cheaper.
print $body unless ($ENV{REQUEST_METHOD} // '') eq 'HEAD';
