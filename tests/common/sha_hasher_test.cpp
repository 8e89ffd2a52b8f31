#include "common/sha_hasher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShaHasher, KnownDigestsAndGitBlobIds) {
    sha_hasher empty256(sha_algorithm::sha256);
    EXPECT_EQ(hash_finish_hex(empty256), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    sha_hasher abc(sha_algorithm::sha256);
    abc.update("a", 1);
    abc.update("bc", 2); // pieces give the digest of the whole
    EXPECT_EQ(hash_finish_hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Git's blob id of "hello\n": SHA-1 over "blob 6", a zero byte and the content.
    sha_hasher blob(sha_algorithm::sha1);
    const std::string header("blob 6\0", 7);
    blob.update(header.data(), header.size());
    blob.update("hello\n", 6);
    EXPECT_EQ(hash_finish_hex(blob), "ce013625030ba8dba906f756967f9e9ca394464a");
}

} // namespace
