#!/usr/bin/perl
# Time page for Zelmora: prints the current UTC time of day as "hh:mm:ss UTC".
# The client reads the 8 characters before the first " UTC" in the body, so
# nothing before the time may contain that text, and the body must stay at
# least 100 characters long. Method, query string and input are ignored on
# purpose: every request gets the same page.
#
# The header "Zelmora-Time: T2 T3" gives the time precisely, as Unix seconds
# with 6 decimals: T2 when the script began, T3 just before the answer is
# written. A client that times its request takes the clock from these to a few
# milliseconds; an older one ignores the header and reads the body.
use strict;
use warnings;
use Time::HiRes ();

# First of all, so that T2 is as close as can be to the request's arrival.
my $t2 = Time::HiRes::time();

# One clock reading, the one of T2, so that the time and the date can never
# disagree and the body is never earlier than T2.
my ($sec, $min, $hour, $mday, $mon, $year) = gmtime(int $t2);
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
# Everything is formatted before T3 is read, so that only the write follows it.
my $head = join '',
    "Content-Type: text/html; charset=us-ascii\r\n",
    "Cache-Control: no-store\r\n",
    "Content-Length: ", length($body), "\r\n";
my $t3 = Time::HiRes::time();
print $head, sprintf("Zelmora-Time: %.6f %.6f\r\n", $t2, $t3), "\r\n";
# A server answering HEAD drops the body itself, but not sending it is cheaper.
print $body unless ($ENV{REQUEST_METHOD} // '') eq 'HEAD';
