// The RIFF stream: chunk names, open modes and errors, descending into forms and chunks.
#include <gtest/gtest.h>

#include "midifile/errors.h"
#include "midifile/riffstream.h"
#include "midifile/virtualmemorystream.h"
#include "testfiles.h"

using namespace midifile;

TEST(RiffStream, ChunkNamesAreEmptyOrFourCharacters) {
    try {
        TRiffChunkInfo bad("dat");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "RIFF Chunk ID must be four characters long");
    }
    EXPECT_THROW(TRiffChunkInfo("datas"), Exception);
    const TRiffChunkInfo empty("");
    EXPECT_EQ(empty.info.id, 0u);
    EXPECT_EQ(empty.info.type, 0u);
    const TRiffChunkInfo riff("RIFF");
    EXPECT_EQ(riff.info.type, riffCode("RIFF"));
    EXPECT_EQ(riff.info.id, 0u);
    const TRiffChunkInfo data("data");
    EXPECT_EQ(data.info.id, 0x61746164u);  // first character in the lowest byte
}

TEST(RiffStream, OpenModesAndErrors) {
    EXPECT_EQ(TRiffStream::openFlags(FileMode::Create), 0x1000u);
    EXPECT_EQ(TRiffStream::openFlags(FileMode::OpenRead | FileMode::ShareDenyWrite), 0x20u);
    EXPECT_EQ(TRiffStream::openFlags(FileMode::OpenReadWrite | FileMode::ShareExclusive), 0x12u);

    ScratchDir dir;
    const std::string missing = dir.file("missing.rmi");
    try {
        TRiffFileStream s(missing, FileMode::OpenRead | FileMode::ShareDenyWrite);
        FAIL();
    } catch (const EFileOpen& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to open " + missing);
    }
    const std::string noFolder = dir.file("no/such/folder.rmi");
    try {
        TRiffFileStream s(noFolder, FileMode::Create);
        FAIL();
    } catch (const EFileCreate& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to create " + noFolder);
    }
}

TEST(RiffStream, DescendsIntoFormAndChunkAndReadsThere) {
    ScratchDir dir;
    const std::string path = dir.file("song.rmi");
    const Bytes payload = {'M', 'T', 'h', 'd', 9};
    writeFile(path, rmidWrap(payload));
    TRiffFileStream s(path, FileMode::OpenRead | FileMode::ShareDenyWrite);
    s.descend("RMID", RiffFind::Riff);
    s.descend("data", RiffFind::Chunk);
    ASSERT_EQ(s.chunks().size(), 2u);
    EXPECT_EQ(s.chunks()[0]->name, "RMID");
    EXPECT_EQ(s.chunks()[1]->name, "data");
    EXPECT_EQ(s.chunks()[1]->info.size, payload.size());
    Bytes got(payload.size());
    EXPECT_EQ(s.read(got.data(), static_cast<std::int64_t>(got.size())), 5);
    EXPECT_EQ(got, payload);
    EXPECT_EQ(s.read(got.data(), 1), 1);  // reads go on into the file (the pad byte)
    EXPECT_EQ(s.seek(0, SeekOrigin::Begin), 0);
    EXPECT_EQ(s.seek(-2, SeekOrigin::End), static_cast<std::int64_t>(readFile(path).size()) - 2);
}

TEST(RiffStream, MissingChunksAndFormsCannotBeDescendedInto) {
    ScratchDir dir;
    const std::string path = dir.file("nodata.rmi");
    writeFile(path, rmidWrap({}, false));
    {
        TRiffFileStream s(path, FileMode::OpenRead);
        s.descend("RMID", RiffFind::Riff);
        try {
            s.descend("data", RiffFind::Chunk);
            FAIL();
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Unable to descend into data");
        }
    }
    {
        // Without a RIFF or LIST name the form type is not compared: any RIFF form matches.
        TRiffFileStream s(path, FileMode::OpenRead);
        s.descend("WAVE", RiffFind::Riff);
        EXPECT_THROW(s.descend("RMID", RiffFind::Riff), Exception);
        EXPECT_THROW(s.descend("INFO", RiffFind::List), Exception);
    }
    // A truncated container and an empty file.
    Bytes cut = rmidWrap({1, 2, 3});
    cut.resize(10);
    writeFile(path, cut);
    TRiffFileStream s(path, FileMode::OpenRead);
    EXPECT_THROW(s.descend("RMID", RiffFind::Riff), Exception);
    writeFile(path, {});
    TRiffFileStream e(path, FileMode::OpenRead);
    EXPECT_THROW(e.descend("RMID", RiffFind::Riff), Exception);
}

TEST(RiffStream, CreatedFileIsWrittenAndReadBack) {
    ScratchDir dir;
    const std::string path = dir.file("new.riff");
    {
        TRiffFileStream s(path, FileMode::Create);
        const Bytes file = rmidWrap({7, 7, 7, 7});
        EXPECT_EQ(s.write(file.data(), static_cast<std::int64_t>(file.size())),
                  static_cast<std::int64_t>(file.size()));
        s.seek(0, SeekOrigin::Begin);
        s.descend("RMID", RiffFind::Riff);
        s.descend("data", RiffFind::Chunk);
        std::uint8_t b[4] = {};
        EXPECT_EQ(s.read(b, 4), 4);
        EXPECT_EQ(b[3], 7);
    }
    // Over a memory stream, too: a LIST form found by its type.
    auto memory = std::make_unique<TVirtualMemoryStream>(4096, 0);
    const Bytes list = {'L', 'I', 'S', 'T', 8, 0, 0, 0, 'I', 'N', 'F', 'O', 'x', 'y', 'z', 'w'};
    memory->write(list.data(), static_cast<std::int64_t>(list.size()));
    memory->seek(0, SeekOrigin::Begin);
    TRiffStream m(std::move(memory));
    m.descend("INFO", RiffFind::List);
    EXPECT_EQ(m.chunks()[0]->name, "INFO");
    std::uint8_t c = 0;
    EXPECT_EQ(m.read(&c, 1), 1);
    EXPECT_EQ(c, 'x');
}
