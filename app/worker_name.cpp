#include "app/worker_name.h"

#include <cstdio>

// "bored" stands twice: the table keeps the length the names were always generated with.
const std::array<const char*, 49> WorkerNameAdjectives = {
    "fat",     "slim",    "thick",  "thin",   "short", "fast",  "slow",    "crazy",   "bored",
    "funny",   "serious", "drunk",  "sober",  "tired", "horny", "wet",     "dirty",   "sexy",
    "playful", "active",  "hard",   "gentle", "calm",  "rough", "excited", "wild",    "famous",
    "cruel",   "violent", "angry",  "rich",   "poor",  "shy",   "scared",  "stinky",  "bored",
    "thirsty", "old",     "young",  "lazy",   "nice",  "bad",   "upset",   "bearded", "agent",
    "nasty",   "ugly",    "chubby", "disco",
};

const std::array<const char*, 44> WorkerNameNouns = {
    "panda",    "tiger",    "badger", "otter",   "walrus",  "beaver",  "falcon",  "rabbit",
    "lizard",   "donkey",   "camel",  "goose",   "parrot",  "pigeon",  "weasel",  "ferret",
    "hamster",  "gopher",   "moose",  "bison",   "llama",   "alpaca",  "koala",   "lemur",
    "monkey",   "gorilla",  "zebra",  "hippo",   "rhino",   "turtle",  "frog",    "toad",
    "salmon",   "shark",    "whale",  "dolphin", "penguin", "pelican", "vulture", "raven",
    "squirrel", "hedgehog", "mole",   "yak",
};

std::string GenerateWorkerName(uint64_t workerId) {
  char name[32];
  std::snprintf(name, sizeof name, "%s_%s", WorkerNameAdjectives[workerId % 49],
                WorkerNameNouns[(workerId / 49) % 44]);
  return name;
}
