#!/usr/bin/env python3
"""Writes the demo station catalog: fictional stations on loopback addresses.

    make-demo-catalog.py [--count N] [--seed S] > demo-catalog.txt

The output is deterministic for a seed. Every address lies in 127.0.0.0/8 so that pings
to the stations get real answers on any Linux machine.
"""
import argparse
import random

GENRES = ["Alt", "Ambient", "Blues", "Christian", "Classical", "Comedy", "Country", "Dance",
          "Disco", "Ethnic", "Euro", "Funk", "Game", "Gospel", "House", "Industrial", "Jazz",
          "Metal", "News", "Oldies", "Pacino", "Pop", "Punk", "Rap", "Reggae", "Rock", "Ska",
          "Soul", "Soundtrack", "Sports", "Talk", "Techno", "Trance"]

# Words that fit each genre, used for station names and extra genre words.
FLAVOUR = {
    "Alt": ["Indie", "Underground", "College"], "Ambient": ["Chill", "Drift", "Downtempo"],
    "Blues": ["Delta", "Electric", "Slide"], "Christian": ["Praise", "Worship", "Faith"],
    "Classical": ["Baroque", "Symphony", "Chamber"], "Comedy": ["Standup", "Sketch", "Laughs"],
    "Country": ["Bluegrass", "Honky Tonk", "Western"], "Dance": ["Club", "Floor", "Beats"],
    "Disco": ["Boogie", "Mirrorball", "Funkytown"], "Ethnic": ["World", "Folk", "Roots"],
    "Euro": ["Eurodance", "Italo", "Schlager"], "Funk": ["Groove", "P-Funk", "Breaks"],
    "Game": ["Chiptune", "VGM", "8-bit"], "Gospel": ["Choir", "Spirituals", "Revival"],
    "House": ["Deep", "Acid", "Garage"], "Industrial": ["EBM", "Noise", "Machine"],
    "Jazz": ["Bebop", "Smooth", "Swing"], "Metal": ["Thrash", "Doom", "Power"],
    "News": ["Headlines", "World Report", "Bulletin"], "Oldies": ["Fifties", "Sixties", "Gold"],
    "Pacino": ["Film Talk", "Monologues", "Scenes"], "Pop": ["Hits", "Top 40", "Chart"],
    "Punk": ["Hardcore", "Ska Punk", "Garage"], "Rap": ["Hip Hop", "Freestyle", "Boom Bap"],
    "Reggae": ["Dub", "Roots", "Dancehall"], "Rock": ["Classic", "Hard", "Alternative"],
    "Ska": ["Two Tone", "Rocksteady", "Skank"], "Soul": ["Motown", "Neo Soul", "R&B"],
    "Soundtrack": ["Score", "Cinema", "Themes"], "Sports": ["Play by Play", "Locker Room", "Scores"],
    "Talk": ["Call-in", "Late Night", "Debate"], "Techno": ["Minimal", "Detroit", "Hard"],
    "Trance": ["Uplifting", "Psy", "Progressive"],
}

PLACES = ["Harbor", "Northside", "Valley", "Lakeshore", "Riverside", "Hilltop", "Downtown",
          "Eastgate", "Pinewood", "Sunset", "Midtown", "Bayview", "Coastal", "Prairie",
          "Highland", "Old Town", "Westend", "Summit", "Meadow", "Canyon"]
NOUNS = ["Radio", "FM", "Waves", "Stream", "Sound", "Beat", "Air", "Signal", "Frequency",
         "Channel", "Broadcast", "Network", "Dial", "Station", "Live"]
ARTISTS = ["The Lantern Keys", "Mira Vale", "Copper Foxes", "DJ Halcyon", "Orbit Nine",
           "Rosa Quill", "The Sundays Off", "Kestrel", "Moss & Marrow", "Nadia Brook",
           "Velvet Static", "Juniper Lane", "Low Tide Club", "Atlas Bloom", "The Paper Kites",
           "Ferro Glass", "Lumen Drive", "Otis Crane", "Blue Harbour", "Sable Choir"]
TITLES = ["Midnight Signal", "Paper Moons", "Slow Burn", "Northern Lights", "Static Heart",
          "Golden Hour", "Runaway Train", "Satellite", "Quiet Storm", "Glass House",
          "Long Way Home", "Electric Rain", "Velvet Sky", "Open Road", "Tidal",
          "Second Wind", "Neon Rivers", "Afterglow", "Daybreak", "Wildfire"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=363)
    ap.add_argument("--seed", type=int, default=1999)
    args = ap.parse_args()
    rnd = random.Random(args.seed)

    print("# Demo station catalog, made by make-demo-catalog.py --count %d --seed %d."
          % (args.count, args.seed))
    print("# Fictional stations; every address is on 127.0.0.0/8. Columns: the station list's")
    print("# fields, and upfor = seconds the station has been up when the server starts.")
    cols = ["ip", "hostname", "genre", "numplayers", "maxplayers", "bitrate", "avgtime",
            "upfor", "chatip", "url", "songtitle", "ping", "type", "bnum"]
    print("\t".join(cols))
    used = set()
    for i in range(args.count):
        genre = GENRES[i % len(GENRES)]
        flav = rnd.choice(FLAVOUR[genre])
        # Hosts spread over several /16s of the loopback range; a few stations share one.
        while True:
            host = "127.%d.%d.%d" % (rnd.choice([0, 1, 2, 7, 10, 42, 99]),
                                     rnd.randrange(0, 64), rnd.randrange(1, 255))
            port = rnd.choice([8000, 8000, 8000, 8010, 8080, 8100, 8200, 9000, 7999, 12000])
            if (host, port) not in used:
                used.add((host, port))
                break
        style = rnd.random()
        if style < 0.15:
            ip = "http://%s:%d/%s" % (host, port, rnd.choice(["live", "stream", "listen.mp3", "hi"]))
        elif style < 0.22 and port == 8000:
            ip = host  # the port the client assumes
        else:
            ip = "%s:%d" % (host, port)
        form = rnd.randrange(4)
        if form == 0:
            name = "%s %s %s" % (rnd.choice(PLACES), flav, rnd.choice(NOUNS))
        elif form == 1:
            name = "%s %s - %s" % (flav, rnd.choice(NOUNS), rnd.choice(["24/7", "all day",
                                   "nonstop", "commercial free", "the best mix"]))
        elif form == 2:
            name = "%d.%d %s %s" % (rnd.randrange(87, 108), rnd.randrange(10), rnd.choice(PLACES),
                                    genre)
        else:
            name = "%s %s" % (flav, genre if rnd.random() < 0.5 else rnd.choice(NOUNS))
        genres = [genre]
        if rnd.random() < 0.35:
            genres.append(flav)
        if rnd.random() < 0.15:
            genres.append(rnd.choice(GENRES))
        listeners_max = rnd.choice([16, 32, 50, 64, 100, 128, 200, 256, 500, 1000])
        listeners = int(listeners_max * min(1.0, rnd.random() ** 2.5))
        bitrate = rnd.choice([24, 32, 48, 56, 64, 96, 128, 128, 128, 160, 192, 256, 320])
        avgtime = int(rnd.lognormvariate(6.8, 0.9))
        upfor = int(rnd.uniform(300, 45 * 86400))
        url = "http://%s/" % host if rnd.random() < 0.7 else ""
        if genre in ("News", "Talk", "Sports", "Comedy", "Pacino"):
            song = rnd.choice(["Live: %s" % rnd.choice(["Morning Show", "Evening Edition",
                               "The Hour", "Open Lines", "Weekend Wrap"]), ""])
        else:
            song = "%s - %s" % (rnd.choice(ARTISTS), rnd.choice(TITLES))
        kind = rnd.choices([0, 1, 2, 3], weights=[85, 5, 5, 5])[0]
        bnum = str(rnd.randrange(1, 40)) if rnd.random() < 0.3 else ""
        row = [ip, name, " ".join(genres), listeners, listeners_max, bitrate, avgtime, upfor,
               "%s:%d" % (host, port), url, song, 0, kind, bnum]
        print("\t".join(str(v) for v in row))


if __name__ == "__main__":
    main()
